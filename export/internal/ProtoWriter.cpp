#include "ProtoWriter.h"

#include <cstring>

namespace zrproto {

void AppendVarint(std::string* out, std::uint64_t v) {
  char bytes[10];
  std::size_t n = 0;
  while (v >= 0x80) {
    bytes[n++] = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  bytes[n++] = static_cast<char>(v);
  out->append(bytes, n);
}

std::size_t VarintSize(std::uint64_t v) noexcept {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

void ProtoWriter::Tag(std::uint32_t field, WireType type) {
  AppendVarint(m_out, (std::uint64_t{field} << 3) | static_cast<std::uint32_t>(type));
}

void ProtoWriter::UInt64(std::uint32_t field, std::uint64_t v) {
  Tag(field, WireType::kVarint);
  AppendVarint(m_out, v);
}

void ProtoWriter::Int32(std::uint32_t field, std::int32_t v) {
  Tag(field, WireType::kVarint);
  AppendVarint(m_out, static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
}

void ProtoWriter::SInt32(std::uint32_t field, std::int32_t v) {
  Tag(field, WireType::kVarint);
  AppendVarint(m_out, ZigZag32(v));
}

void ProtoWriter::SInt64(std::uint32_t field, std::int64_t v) {
  Tag(field, WireType::kVarint);
  AppendVarint(m_out, ZigZag64(v));
}

void ProtoWriter::Double(std::uint32_t field, double v) {
  Tag(field, WireType::kFixed64);
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof(bits));
  char bytes[8];
  for (char& b : bytes) {  // little-endian whatever the host's order
    b = static_cast<char>(bits & 0xFF);
    bits >>= 8;
  }
  m_out->append(bytes, sizeof(bytes));
}

void ProtoWriter::String(std::uint32_t field, std::string_view bytes) {
  Tag(field, WireType::kLengthDelimited);
  AppendVarint(m_out, bytes.size());
  m_out->append(bytes.data(), bytes.size());
}

void ProtoWriter::PackedSInt64(std::uint32_t field, const std::vector<std::int64_t>& values) {
  if (values.empty()) return;
  std::size_t size = 0;
  for (std::int64_t v : values) size += VarintSize(ZigZag64(v));
  Tag(field, WireType::kLengthDelimited);
  AppendVarint(m_out, size);
  for (std::int64_t v : values) AppendVarint(m_out, ZigZag64(v));
}

void ProtoWriter::EndMessage(std::uint32_t field, std::size_t begin) {
  std::string prefix;
  AppendVarint(&prefix, (std::uint64_t{field} << 3) |
                            static_cast<std::uint32_t>(WireType::kLengthDelimited));
  AppendVarint(&prefix, m_out->size() - begin);
  m_out->insert(begin, prefix);
}

void ProtoWriter::EndDelimited(std::size_t begin) {
  std::string prefix;
  AppendVarint(&prefix, m_out->size() - begin);
  m_out->insert(begin, prefix);
}

}  // namespace zrproto
