#include "Gzip.h"

#include <zlib.h>

#include <limits>

namespace zrexport {

namespace {

// 15 bits of window, +16 for the gzip header and trailer instead of zlib's.
constexpr int kGzipWindowBits = 15 + 16;

// zlib counts in uInt: every length handed to it in one call must fit.
constexpr std::size_t kMaxInput = std::numeric_limits<uInt>::max() / 2;

Bytef* In(std::string_view data) {
  return reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
}

}  // namespace

bool Gzip(std::string_view data, std::string* out, int level) {
  if (data.size() > kMaxInput) return false;
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return false;
  // deflateBound() leaves no room for the gzip header and trailer.
  out->resize(deflateBound(&z, static_cast<uLong>(data.size())) + 32);
  z.next_in = In(data);
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out->data());
  z.avail_out = static_cast<uInt>(out->size());
  const int result = deflate(&z, Z_FINISH);
  out->resize(z.total_out);
  deflateEnd(&z);
  return result == Z_STREAM_END;
}

bool Gunzip(std::string_view data, std::string* out, std::size_t maxSize) {
  out->clear();
  if (data.size() > kMaxInput) return false;
  z_stream z{};
  if (inflateInit2(&z, kGzipWindowBits) != Z_OK) return false;
  z.next_in = In(data);
  z.avail_in = static_cast<uInt>(data.size());
  char buffer[65536];
  int result = Z_OK;
  while (result == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof(buffer);
    result = inflate(&z, Z_NO_FLUSH);
    const std::size_t produced = sizeof(buffer) - z.avail_out;
    if (produced > maxSize - out->size()) {
      result = Z_BUF_ERROR;
      break;
    }
    out->append(buffer, produced);
  }
  inflateEnd(&z);
  // One whole member and nothing after it.
  return result == Z_STREAM_END && z.avail_in == 0;
}

}  // namespace zrexport
