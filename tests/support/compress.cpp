#include "tests/support/compress.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>

std::string Compress(const std::string &body, ZipForm form) {
  const int nWindowBits = form == ZipForm::Gzip ? 31 : form == ZipForm::Zlib ? 15 : -15;
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, nWindowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, body.size()) + 64, '\0');
  z.next_in = (Bytef *)body.data();
  z.avail_in = (uInt)body.size();
  z.next_out = (Bytef *)out.data();
  z.avail_out = (uInt)out.size();
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Gunzip(const std::string &in) {
  z_stream z{};
  inflateInit2(&z, 31);
  std::string out;
  char buf[65536];
  z.next_in = (Bytef *)in.data();
  z.avail_in = (uInt)in.size();
  int r = Z_OK;
  while (r == Z_OK) {
    z.next_out = (Bytef *)buf;
    z.avail_out = sizeof buf;
    r = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  }
  inflateEnd(&z);
  return r == Z_STREAM_END ? out : "<not a whole gzip stream>";
}

std::string ChunkBody(const std::string &body) {
  static const std::size_t kSizes[] = {1, 7, 255, 4096, 13, 1000, 3};
  std::string out;
  std::size_t at = 0;
  for (int i = 0; at < body.size(); ++i) {
    std::size_t n = std::min(kSizes[i % 7], body.size() - at);
    char head[64];
    const char *ext = i % 3 == 1 ? ";ext=1" : i % 3 == 2 ? ";name=\"a b\"" : "";
    std::snprintf(head, sizeof head, i % 2 ? "%zX%s\r\n" : "%zx%s\r\n", n, ext);
    out += head;
    out.append(body, at, n);
    out += "\r\n";
    at += n;
  }
  out += "0\r\nX-Checksum: none\r\n\r\n";
  return out;
}
