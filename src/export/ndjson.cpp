#include "export/ndjson.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "json/print.h"
#include "storage/encoding.h"

namespace tessarin {

namespace {

constexpr std::array<std::string_view, 6> kHeaderFields = {
    "version", "collection", "dimensions", "metric", "record_count", "exported_at"};
constexpr std::array<std::string_view, 5> kRecordFields = {"id", "vector", "metadata",
                                                           "created_at", "ttl"};
constexpr json::StructShape kHeaderShape{"ExportHeader", kHeaderFields, 0};
// created_at (3) and ttl (4) may be absent.
constexpr json::StructShape kRecordShape{"ExportRecord", kRecordFields,
                                         (uint64_t{1} << 3) | (uint64_t{1} << 4)};
// The record's own level does not count against its metadata, which may be
// as deep as add accepts (json::parse), so that every export reads back.
constexpr int kRecordDepth = json::kMaxDepth + 1;

// Decodes `text` as one struct of `shape` followed by nothing but white space.
json::ParseStatus decode_line(std::string_view text, const json::StructShape& shape,
                              int max_depth, const json::Decoder::FieldReader& read_field) {
  json::Decoder d(text, max_depth);
  json::ParseStatus st = d.read_struct(shape, read_field);
  if (!st.ok()) return st;
  return d.end();
}

void append_u64(std::string& out, uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// Length of the White_Space character that starts at s[i], 0 if none.
size_t white_space_at(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const size_t left = s.size() - i;
  const unsigned char c = b(i);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && left >= 2) return (b(i + 1) == 0x85 || b(i + 1) == 0xA0) ? 2 : 0;
  if (left < 3) return 0;
  const unsigned char c1 = b(i + 1), c2 = b(i + 2);
  if (c == 0xE1) return (c1 == 0x9A && c2 == 0x80) ? 3 : 0;  // U+1680
  if (c == 0xE3) return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;  // U+3000
  if (c != 0xE2) return 0;
  if (c1 == 0x80) {
    // U+2000..U+200A, U+2028, U+2029, U+202F
    return (c2 <= 0x8A || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF) ? 3 : 0;
  }
  return (c1 == 0x81 && c2 == 0x9F) ? 3 : 0;  // U+205F
}

// Length of the White_Space character that ends at s[end - 1], 0 if none.
size_t white_space_before(std::string_view s, size_t end) {
  const unsigned char last = static_cast<unsigned char>(s[end - 1]);
  if (last < 0x80) return white_space_at(s, end - 1);
  // A multi-byte candidate: try a 2- and a 3-byte sequence ending here.
  if (end >= 2 && white_space_at(s.substr(0, end), end - 2) == 2) return 2;
  if (end >= 3 && white_space_at(s.substr(0, end), end - 3) == 3) return 3;
  return 0;
}

}  // namespace

void print_export_header(std::string& out, const ExportHeader& header) {
  out.append("{\"version\":");
  append_u64(out, header.version);
  out.append(",\"collection\":");
  json::print_string(out, header.collection);
  out.append(",\"dimensions\":");
  append_u64(out, header.dimensions);
  out.append(",\"metric\":");
  json::print_string(out, header.metric);
  out.append(",\"record_count\":");
  append_u64(out, header.record_count);
  out.append(",\"exported_at\":");
  append_u64(out, header.exported_at);
  out.push_back('}');
}

void print_export_record(std::string& out, std::string_view id, std::span<const float> vector,
                         const json::Value& metadata, uint64_t created_at,
                         std::optional<uint64_t> ttl) {
  out.append("{\"id\":");
  json::print_string(out, id);
  out.append(",\"vector\":[");
  for (size_t i = 0; i < vector.size(); ++i) {
    if (i != 0) out.push_back(',');
    json::print_f32(out, vector[i]);
  }
  out.append("],\"metadata\":");
  json::print_to(out, metadata);
  out.append(",\"created_at\":");
  append_u64(out, created_at);
  if (ttl) {
    out.append(",\"ttl\":");
    append_u64(out, *ttl);
  }
  out.push_back('}');
}

json::ParseStatus decode_export_header(std::string_view text, ExportHeader& out) {
  return decode_line(text, kHeaderShape, json::kMaxDepth, [&](size_t field, json::Decoder& d) {
    switch (field) {
      case 0: return d.read_u32(out.version);
      case 1: return d.read_string(out.collection);
      case 2: return d.read_u64(out.dimensions);
      case 3: return d.read_string(out.metric);
      case 4: return d.read_u64(out.record_count);
      default: return d.read_u64(out.exported_at);
    }
  });
}

json::ParseStatus decode_export_record(std::string_view text, ExportRecord& out) {
  // Absent optional fields read as none.
  out.created_at.reset();
  out.ttl.reset();
  return decode_line(text, kRecordShape, kRecordDepth, [&](size_t field, json::Decoder& d) {
    switch (field) {
      case 0: return d.read_string(out.id);
      case 1: return d.read_f32_array(out.vector);
      case 2: return d.read_value(out.metadata);
      case 3: return d.read_optional_u64(out.created_at);
      default: return d.read_optional_u64(out.ttl);
    }
  });
}

std::string_view trim_white_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t n = white_space_at(text, begin);
    if (n == 0) break;
    begin += n;
  }
  size_t end = text.size();
  while (end > begin) {
    const size_t n = white_space_before(text, end);
    if (n == 0) break;
    end -= n;
  }
  return text.substr(begin, end - begin);
}

// ---- LineReader ---------------------------------------------------------------

Result<bool> LineReader::fill() {
  for (;;) {
    const ssize_t n = ::read(file_.fd(), buf_, sizeof buf_);
    if (n >= 0) {
      begin_ = 0;
      end_ = static_cast<size_t>(n);
      return n > 0;
    }
    if (errno != EINTR) return DbError::Io(errno);
  }
}

Result<bool> LineReader::read_line(std::string* line) {
  line->clear();
  for (;;) {
    if (begin_ == end_) {
      TS_ASSIGN_OR_RETURN(const bool more, fill());
      if (!more) break;
    }
    const char* start = buf_ + begin_;
    const void* lf = std::memchr(start, '\n', end_ - begin_);
    if (lf != nullptr) {
      const size_t len = static_cast<size_t>(static_cast<const char*>(lf) - start) + 1;
      line->append(start, len);
      begin_ += len;
      break;
    }
    line->append(start, end_ - begin_);
    begin_ = end_;
  }
  if (line->empty()) return false;
  if (validate_utf8(*line).has_value()) {
    line->clear();
    return DbError::IoMessage("stream did not contain valid UTF-8");
  }
  return true;
}

}  // namespace tessarin
