// Internal to libzrperf-prometheus and libzrperf-otlp: the protocol buffers
// wire format, written by hand into a std::string (varints: util/internal/Coding.h).
//
// The libraries are loaded into hosts that may link a protobuf runtime of
// their own; a generated message class would register its descriptors in that
// runtime's process-wide pool (and clash with the host's copy of the same
// .proto), so the messages are written field by field here instead. The
// messages and their field numbers are described in export/prometheus/proto/metrics.proto and
// export/otlp/proto/otlp_metrics.proto.
//
// Encoding, as the wire format defines it:
//   varint            7 bits a byte, least significant group first, the high
//                     bit set on every byte but the last (1 to 10 bytes);
//   tag               varint of (field number << 3) | wire type;
//   int32/enum        varint of the value sign-extended to 64 bits (a
//                     negative one takes 10 bytes);
//   sint32/sint64     varint of the zigzag form: 0, -1, 1, -2 ... -> 0, 1, 2, 3 ...;
//   double, fixed64   the 8 bytes least significant first on every host
//                     (big-endian ones included); a double as its IEEE 754 bits;
//   string/message    varint length, then the bytes;
//   packed repeated   one length-delimited field holding the varints.
//
//   std::string out;
//   {
//     zrexport::ProtoWriter w(&out);
//     w.String(1, "name");
//     const zrexport::ProtoWriter::Mark at = w.BeginMessage(4);  // field 4
//     w.Double(1, 2.5);
//     w.EndMessage(at);
//   }                               // `out` holds the bytes from here on
//
// The writer appends to `*out`, but works in a buffer that it grows ahead of
// what it has written (one allocation per doubling, not one per field): the
// string's contents are the encoding only once Finish() has been called or the
// writer is destroyed, and nothing else may touch the string meanwhile. A
// nested message is written in place: one byte is kept for its length, which
// covers every message under 128 bytes; a longer one is moved up by the bytes
// its length needs beyond the first when it ends.
//
// Thread-safety: a writer is used by one thread at a time; the free functions
// are pure.

#ifndef ZRPERF_EXPORT_INTERNAL_PROTOWRITER_H_
#define ZRPERF_EXPORT_INTERNAL_PROTOWRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <zrperf/util/internal/Coding.h>

namespace zrexport {

enum class WireType : std::uint32_t { kVarint = 0, kFixed64 = 1, kLengthDelimited = 2 };

using zrperf::AppendVarint;
using zrperf::EncodeVarint;
using zrperf::kMaxVarintBytes;
using zrperf::VarintSize;
using zrperf::ZigZag32;
using zrperf::ZigZag64;

class ProtoWriter {
 public:
  // Where a nested message's length goes (BeginMessage(), BeginDelimited()).
  struct Mark {
    std::size_t lengthAt;
  };

  explicit ProtoWriter(std::string* out) : m_out(out), m_size(out->size()) {}
  ~ProtoWriter() { Finish(); }
  ProtoWriter(const ProtoWriter&) = delete;
  ProtoWriter& operator=(const ProtoWriter&) = delete;

  void Tag(std::uint32_t field, WireType type) {
    char* p = Room(kMaxVarintBytes);
    m_size += EncodeVarint(p, TagValue(field, type));
  }
  void UInt64(std::uint32_t field, std::uint64_t v) {  // uint32 and uint64
    char* p = Room(2 * kMaxVarintBytes);
    std::size_t n = EncodeVarint(p, TagValue(field, WireType::kVarint));
    m_size += n + EncodeVarint(p + n, v);
  }
  void Int32(std::uint32_t field, std::int32_t v) {  // int32 and enum
    UInt64(field, static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
  }
  void SInt32(std::uint32_t field, std::int32_t v) { UInt64(field, ZigZag32(v)); }
  void SInt64(std::uint32_t field, std::int64_t v) { UInt64(field, ZigZag64(v)); }
  void Fixed64(std::uint32_t field, std::uint64_t v);  // fixed64 and sfixed64
  void Double(std::uint32_t field, double v);
  void String(std::uint32_t field, std::string_view bytes);  // string and bytes
  // Packed repeated fields; nothing when `values` is empty.
  void PackedSInt64(std::uint32_t field, const std::vector<std::int64_t>& values);
  void PackedUInt64(std::uint32_t field, const std::vector<std::uint64_t>& values);

  // A nested message of field `field`: its fields are written between
  // BeginMessage() and EndMessage(), which puts their length in front.
  Mark BeginMessage(std::uint32_t field) {
    Tag(field, WireType::kLengthDelimited);
    return BeginDelimited();
  }
  // The same without a tag: the varint length in front of the message, as in a
  // stream of length-delimited messages.
  Mark BeginDelimited() {
    Room(1);
    return Mark{m_size++};
  }
  void EndMessage(Mark mark);
  void EndDelimited(Mark mark) { EndMessage(mark); }

  // Cuts the string to the bytes written; idempotent. Writing may go on after it.
  void Finish() { m_out->resize(m_size); }

 private:
  static std::uint64_t TagValue(std::uint32_t field, WireType type) noexcept {
    return (std::uint64_t{field} << 3) | static_cast<std::uint32_t>(type);
  }
  // The place for at least `bytes` more bytes, at the end of what was written.
  char* Room(std::size_t bytes) {
    if (m_out->size() - m_size < bytes) Grow(bytes);
    return &(*m_out)[m_size];
  }
  void Grow(std::size_t bytes);

  std::string* m_out;
  std::size_t m_size;  // the bytes written; m_out->size() may be larger
};

}  // namespace zrexport

#endif  // ZRPERF_EXPORT_INTERNAL_PROTOWRITER_H_
