#include "ProtoWriter.h"

#include <algorithm>
#include <cstring>

namespace zrexport {

namespace {

void EncodeLittleEndian64(char* p, std::uint64_t v) noexcept {
  for (int i = 0; i < 8; ++i) {  // the same bytes whatever the host's order
    p[i] = static_cast<char>(v & 0xFF);
    v >>= 8;
  }
}

}  // namespace

void ProtoWriter::Grow(std::size_t bytes) {
  // Doubling keeps the zero-filling of the spare room linear in the output.
  m_out->resize(std::max(m_size + bytes, 2 * m_out->size() + 256));
}

void ProtoWriter::Fixed64(std::uint32_t field, std::uint64_t v) {
  char* p = Room(kMaxVarintBytes + 8);
  const std::size_t n = EncodeVarint(p, TagValue(field, WireType::kFixed64));
  EncodeLittleEndian64(p + n, v);
  m_size += n + 8;
}

void ProtoWriter::Double(std::uint32_t field, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof(bits));
  Fixed64(field, bits);
}

void ProtoWriter::String(std::uint32_t field, std::string_view bytes) {
  char* p = Room(2 * kMaxVarintBytes + bytes.size());
  std::size_t n = EncodeVarint(p, TagValue(field, WireType::kLengthDelimited));
  n += EncodeVarint(p + n, bytes.size());
  if (!bytes.empty()) std::memcpy(p + n, bytes.data(), bytes.size());
  m_size += n + bytes.size();
}

void ProtoWriter::PackedSInt64(std::uint32_t field, const std::vector<std::int64_t>& values) {
  if (values.empty()) return;
  const Mark mark = BeginMessage(field);
  char* p = Room(values.size() * kMaxVarintBytes);
  std::size_t n = 0;
  for (std::int64_t v : values) n += EncodeVarint(p + n, ZigZag64(v));
  m_size += n;
  EndMessage(mark);
}

void ProtoWriter::PackedUInt64(std::uint32_t field, const std::vector<std::uint64_t>& values) {
  if (values.empty()) return;
  const Mark mark = BeginMessage(field);
  char* p = Room(values.size() * kMaxVarintBytes);
  std::size_t n = 0;
  for (std::uint64_t v : values) n += EncodeVarint(p + n, v);
  m_size += n;
  EndMessage(mark);
}

void ProtoWriter::EndMessage(Mark mark) {
  const std::size_t body = mark.lengthAt + 1;
  const std::size_t length = m_size - body;
  if (length < 0x80) {  // the byte kept for it is enough
    (*m_out)[mark.lengthAt] = static_cast<char>(length);
    return;
  }
  const std::size_t extra = VarintSize(length) - 1;
  Room(extra);
  char* base = &(*m_out)[0];
  std::memmove(base + body + extra, base + body, length);
  EncodeVarint(base + mark.lengthAt, length);
  m_size += extra;
}

}  // namespace zrexport
