#include "ProtoWriter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using zrexport::ProtoWriter;

std::vector<int> Bytes(const std::string& s) {
  return std::vector<int>(reinterpret_cast<const unsigned char*>(s.data()),
                          reinterpret_cast<const unsigned char*>(s.data()) + s.size());
}

std::vector<int> Varint(std::uint64_t v) {
  std::string out;
  zrexport::AppendVarint(&out, v);
  EXPECT_EQ(out.size(), zrexport::VarintSize(v)) << v;
  return Bytes(out);
}

TEST(ProtoWriter, VarintsSevenBitsLowFirstZigZagInt32SignExtendsDoublesLittleEndian) {
  EXPECT_EQ(Varint(0), (std::vector<int>{0x00}));
  EXPECT_EQ(Varint(1), (std::vector<int>{0x01}));
  EXPECT_EQ(Varint(127), (std::vector<int>{0x7F}));
  EXPECT_EQ(Varint(128), (std::vector<int>{0x80, 0x01}));
  EXPECT_EQ(Varint(300), (std::vector<int>{0xAC, 0x02}));
  EXPECT_EQ(Varint(16383), (std::vector<int>{0xFF, 0x7F}));
  EXPECT_EQ(Varint(16384), (std::vector<int>{0x80, 0x80, 0x01}));
  EXPECT_EQ(Varint(std::uint64_t{1} << 63),
            (std::vector<int>{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}));
  EXPECT_EQ(Varint(std::numeric_limits<std::uint64_t>::max()),
            (std::vector<int>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));

  // Signed fields zigzag, plain int32 sign-extends to ten bytes.
  EXPECT_EQ(zrexport::ZigZag64(0), 0u);
  EXPECT_EQ(zrexport::ZigZag64(-1), 1u);
  EXPECT_EQ(zrexport::ZigZag64(1), 2u);
  EXPECT_EQ(zrexport::ZigZag64(-2), 3u);
  EXPECT_EQ(zrexport::ZigZag64(std::numeric_limits<std::int64_t>::max()),
            std::numeric_limits<std::uint64_t>::max() - 1);
  EXPECT_EQ(zrexport::ZigZag64(std::numeric_limits<std::int64_t>::min()),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(zrexport::ZigZag32(std::numeric_limits<std::int32_t>::min()), 0xFFFFFFFFu);

  // Doubles are little-endian fixed64 on every host.
  std::string out;
  ProtoWriter w(&out);
  w.SInt32(1, -3);                                       // tag 0x08, zigzag 5
  w.SInt64(2, -64);                                      // tag 0x10, zigzag 127
  w.Int32(3, -1);                                        // tag 0x18, ten bytes
  w.UInt64(15, 128);                                     // the largest one-byte tag: 0x78
  w.UInt64(16, 0);                                       // two-byte tag: 0x80 0x01
  w.Double(1, 1.0);                                      // 0x3FF0000000000000
  w.Double(2, -2.5);                                     // 0xC004000000000000
  w.Double(3, std::numeric_limits<double>::infinity());  // 0x7FF0000000000000
  w.Double(4, 0.1);                                      // 0x3FB999999999999A
  w.Finish();
  EXPECT_EQ(Bytes(out),
            (std::vector<int>{0x08, 0x05, 0x10, 0x7F, 0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                              0xFF, 0xFF, 0xFF, 0x01, 0x78, 0x80, 0x01, 0x80, 0x01, 0x00,  //
                              0x09, 0,    0,    0,    0,    0,    0,    0xF0, 0x3F,        //
                              0x11, 0,    0,    0,    0,    0,    0,    0x04, 0xC0,        //
                              0x19, 0,    0,    0,    0,    0,    0,    0xF0, 0x7F,        //
                              0x21, 0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F}));
}

TEST(ProtoWriter, StringsNestedMessagesAndPackedFieldsCarryTheirLengthAtEverySize) {
  std::string out;
  {
    ProtoWriter w(&out);
    w.String(1, "ab");
    const ProtoWriter::Mark outer = w.BeginMessage(4);
    const ProtoWriter::Mark inner = w.BeginMessage(3);
    w.String(2, std::string(200, 'x'));  // a length of two bytes inside
    w.EndMessage(inner);
    w.EndMessage(outer);
    w.PackedSInt64(5, {1, -1, 64});
    w.PackedSInt64(6, {});  // nothing at all
    w.PackedUInt64(7, {300, 0});
    w.PackedUInt64(8, {});
    w.Fixed64(9, 0x0102030405060708u);
    const ProtoWriter::Mark delimited = w.BeginDelimited();
    w.UInt64(1, 7);
    w.EndDelimited(delimited);
  }

  std::vector<int> expected = {0x0A, 2,   'a',  'b',  0x22, 206, 0x01,
                               0x1A, 203, 0x01, 0x12, 200,  0x01};
  expected.insert(expected.end(), 200, 'x');
  for (int b : {0x2A, 4,    0x02, 0x01, 0x80, 0x01,           // packed sint64
                0x3A, 3,    0xAC, 0x02, 0x00,                 // packed uint64
                0x49, 8,    7,    6,    5,    4,    3, 2, 1,  // fixed64
                2,    0x08, 0x07})                            // delimited
    expected.push_back(b);
  EXPECT_EQ(Bytes(out), expected);

  // A nested message keeps one byte for its length and moves its body up when
  // the length needs more: every size around the varint boundaries, nested
  // three deep, appended to what the string held before.
  for (std::size_t body :
       {0u, 1u, 125u, 126u, 127u, 128u, 129u, 16381u, 16382u, 16383u, 16384u, 16385u, 2097152u}) {
    std::string stream = "head";
    ProtoWriter w(&stream);
    const ProtoWriter::Mark a = w.BeginMessage(1);
    const ProtoWriter::Mark b = w.BeginMessage(2);
    const ProtoWriter::Mark c = w.BeginDelimited();
    const std::string payload(body, 'p');
    w.String(3, payload);
    w.EndDelimited(c);
    w.EndMessage(b);
    w.UInt64(4, 1);
    w.EndMessage(a);
    w.Finish();
    w.Finish();  // idempotent

    // `tag`, then the length of `inner` as a varint, then `inner`.
    const auto wrap = [](std::string tag, const std::string& inner) {
      zrexport::AppendVarint(&tag, inner.size());
      return tag + inner;
    };
    const std::string message2 = wrap("\x12", wrap("", wrap("\x1A", payload))) + "\x20\x01";
    ASSERT_EQ(stream, "head" + wrap("\x0A", message2)) << "body of " << body;
  }
}

}  // namespace
