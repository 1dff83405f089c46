// Internal to libzrperf-prometheus: the protocol buffers wire format, written
// by hand into a std::string.
//
// The library is loaded into hosts that may link a protobuf runtime of their
// own; a generated message class would register its descriptors in that
// runtime's process-wide pool (and clash with the host's copy of the same
// .proto), so the messages are written field by field here instead. The
// messages and their field numbers are described in export/proto/*.proto.
//
// Encoding, as the wire format defines it:
//   varint            7 bits a byte, least significant group first, the high
//                     bit set on every byte but the last (1 to 10 bytes);
//   tag               varint of (field number << 3) | wire type;
//   int32/enum        varint of the value sign-extended to 64 bits (a
//                     negative one takes 10 bytes);
//   sint32/sint64     varint of the zigzag form: 0, -1, 1, -2 ... -> 0, 1, 2, 3 ...;
//   double            fixed64: the IEEE 754 bits, least significant byte
//                     first on every host (big-endian ones included);
//   string/message    varint length, then the bytes;
//   packed repeated   one length-delimited field holding the varints.
//
//   std::string out;
//   zrproto::ProtoWriter w(&out);
//   w.String(1, "name");
//   const std::size_t at = w.BeginMessage();
//   w.Double(1, 2.5);
//   w.EndMessage(4, at);          // field 4: the message written since `at`
//
// Thread-safety: a writer is used by one thread at a time; the functions are
// pure.

#ifndef ZRPERF_EXPORT_INTERNAL_PROTOWRITER_H_
#define ZRPERF_EXPORT_INTERNAL_PROTOWRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zrproto {

enum class WireType : std::uint32_t { kVarint = 0, kFixed64 = 1, kLengthDelimited = 2 };

constexpr std::uint64_t ZigZag64(std::int64_t v) noexcept {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
constexpr std::uint32_t ZigZag32(std::int32_t v) noexcept {
  return (static_cast<std::uint32_t>(v) << 1) ^ static_cast<std::uint32_t>(v >> 31);
}

// Appends the varint of `v` to `out`.
void AppendVarint(std::string* out, std::uint64_t v);
// The bytes AppendVarint() writes for `v`.
std::size_t VarintSize(std::uint64_t v) noexcept;

class ProtoWriter {
 public:
  explicit ProtoWriter(std::string* out) : m_out(out) {}

  void Tag(std::uint32_t field, WireType type);
  void UInt64(std::uint32_t field, std::uint64_t v);  // uint32 and uint64
  void Int32(std::uint32_t field, std::int32_t v);    // int32 and enum
  void SInt32(std::uint32_t field, std::int32_t v);
  void SInt64(std::uint32_t field, std::int64_t v);
  void Double(std::uint32_t field, double v);
  void String(std::uint32_t field, std::string_view bytes);  // string and bytes
  // A packed repeated sint64 field; nothing when `values` is empty.
  void PackedSInt64(std::uint32_t field, const std::vector<std::int64_t>& values);

  // A nested message: BeginMessage() marks where its fields start, EndMessage()
  // puts the tag and length of `field` in front of what was written since.
  std::size_t BeginMessage() const noexcept { return m_out->size(); }
  void EndMessage(std::uint32_t field, std::size_t begin);
  // The same without a tag: the varint length in front of the message, as in a
  // stream of length-delimited messages.
  void EndDelimited(std::size_t begin);

 private:
  std::string* m_out;
};

}  // namespace zrproto

#endif  // ZRPERF_EXPORT_INTERNAL_PROTOWRITER_H_
