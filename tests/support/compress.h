// zlib's three framings of a deflate stream, as servers send bodies: a gzip
// member ("gzip"), a zlib stream (what "deflate" means on the wire) and the
// bare stream some servers send as "deflate".
#pragma once
#include <string>

enum class ZipForm { Gzip, Zlib, Raw };

std::string Compress(const std::string &body, ZipForm form = ZipForm::Gzip);
// One whole gzip member unpacked; "<not a whole gzip stream>" otherwise.
std::string Gunzip(const std::string &in);
// Body framed as Transfer-Encoding: chunked, in chunks of odd sizes, some
// with chunk extensions, the last chunk followed by a trailer field.
std::string ChunkBody(const std::string &body);
