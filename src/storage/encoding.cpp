#include "storage/encoding.h"

#include <cassert>

namespace tessarin {

namespace {

constexpr std::string_view kUnexpectedEof = "io error: unexpected end of file";
// The reader's text when a text's length prefix runs past the data: an I/O
// error with an empty description.
constexpr std::string_view kTextPastEnd = "io error: ";

// Rust's utf8_char_width: the sequence length announced by a leading byte,
// 0 for bytes that cannot start a sequence (continuations, C0, C1, F5..FF).
inline int utf8_char_width(uint8_t b) {
  if (b < 0x80) return 1;
  if (b < 0xC2) return 0;
  if (b < 0xE0) return 2;
  if (b < 0xF0) return 3;
  if (b < 0xF5) return 4;
  return 0;
}

inline bool is_continuation(int b) { return (b & 0xC0) == 0x80; }

// The range of the second byte allowed after a 3- or 4-byte leader (this
// excludes overlong forms, surrogates and code points above U+10FFFF).
inline bool second_byte_ok(uint8_t first, int b) {
  switch (first) {
    case 0xE0: return b >= 0xA0 && b <= 0xBF;
    case 0xED: return b >= 0x80 && b <= 0x9F;
    case 0xF0: return b >= 0x90 && b <= 0xBF;
    case 0xF4: return b >= 0x80 && b <= 0x8F;
    default: return b >= 0x80 && b <= 0xBF;
  }
}

}  // namespace

void Encoder::f32(float v) { u32(std::bit_cast<uint32_t>(v)); }
void Encoder::f64(double v) { u64(std::bit_cast<uint64_t>(v)); }

std::string Utf8Error::message() const {
  if (error_len == 0) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(error_len) + " bytes from index " +
         std::to_string(valid_up_to);
}

std::optional<Utf8Error> validate_utf8(std::string_view bytes) {
  const auto* v = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t len = bytes.size();
  size_t i = 0;
  while (i < len) {
    if (v[i] < 0x80) {
      // ASCII runs, eight bytes at a time.
      while (i + 8 <= len) {
        uint64_t w;
        std::memcpy(&w, v + i, 8);
        if (w & 0x8080808080808080ull) break;
        i += 8;
      }
      while (i < len && v[i] < 0x80) ++i;
      continue;
    }
    const size_t start = i;
    const uint8_t first = v[i];
    // The next byte of the sequence, or -1 when the input ends first.
    auto next = [&]() -> int { return ++i < len ? v[i] : -1; };
    auto invalid = [&](uint8_t n) { return Utf8Error{start, n}; };
    auto incomplete = [&]() { return Utf8Error{start, 0}; };
    const int width = utf8_char_width(first);
    if (width == 0) return invalid(1);
    // Every byte after the leader is a continuation; second_byte_ok also
    // narrows the second one where the leader demands it.
    for (int k = 1; k < width; ++k) {
      const int b = next();
      if (b < 0) return incomplete();
      if (!(k == 1 ? second_byte_ok(first, b) : is_continuation(b))) {
        return invalid(static_cast<uint8_t>(k));
      }
    }
    ++i;
  }
  return std::nullopt;
}

float Decoder::f32() { return std::bit_cast<float>(u32()); }
double Decoder::f64() { return std::bit_cast<double>(u64()); }

std::string_view Decoder::str() {
  const uint64_t len = u64();
  if (failed_) return {};
  if (len > remaining()) {
    fail(std::string(kTextPastEnd));
    return {};
  }
  std::string_view text(pos_, static_cast<size_t>(len));
  if (auto bad = validate_utf8(text)) {
    fail("string is not valid utf8: " + bad->message());
    return {};
  }
  pos_ += len;
  return text;
}

bool Decoder::option() {
  const uint8_t tag = u8();
  if (failed_ || tag == 0) return false;
  if (tag == 1) return true;
  fail("tag for enum is not valid, found " + std::to_string(tag));
  return false;
}

uint32_t Decoder::variant(uint32_t count) {
  const uint32_t index = u32();
  if (failed_) return 0;
  if (index >= count) {
    fail("invalid value: integer `" + std::to_string(index) + "`, expected variant index 0 <= i < " +
         std::to_string(count));
    return 0;
  }
  return index;
}

void Decoder::eof() { fail(std::string(kUnexpectedEof)); }

void Decoder::fail(std::string text) {
  if (!failed_) {
    failed_ = true;
    error_ = std::move(text);
  }
  pos_ = end_;  // every later read fails without replacing the first text
}

// ---- Record ----

size_t encoded_record_size(const Record& r) {
  return 37 + r.id.size() + r.metadata.size() + (r.expires_at ? 8 : 0);
}

std::string encode_record(const Record& r) {
  std::string out;
  const size_t size = encoded_record_size(r);
  out.reserve(size);
  Encoder enc(&out);
  enc.str(r.id);
  enc.u64(r.slot);
  enc.str(r.metadata);
  enc.u64(r.created_at);
  if (r.expires_at) {
    enc.some();
    enc.u64(*r.expires_at);
  } else {
    enc.none();
  }
  enc.variant(static_cast<uint32_t>(r.status));
  assert(out.size() == size);
  return out;
}

Result<RecordView> decode_record_view(std::string_view bytes) {
  Decoder dec(bytes);
  RecordView r;
  r.id = dec.str();
  r.slot = dec.u64();
  r.metadata = dec.str();
  r.created_at = dec.u64();
  if (dec.option()) r.expires_at = dec.u64();
  r.status = static_cast<RecordStatus>(dec.variant(kRecordStatusVariantCount));
  if (!dec.ok()) return dec.error();
  return r;
}

Result<Record> decode_record(std::string_view bytes) {
  TS_ASSIGN_OR_RETURN(RecordView view, decode_record_view(bytes));
  return view.to_record();
}

// ---- CollectionConfig ----

void serialize_hnsw_config(const HnswConfig& c, Encoder& enc) {
  enc.u64(c.m);
  enc.u64(c.m_max0);
  enc.u64(c.m_max);
  enc.u64(c.ef_construction);
  enc.u64(c.ef_search);
  enc.f64(c.ml);
  enc.u64(c.reserved);
}

HnswConfig deserialize_hnsw_config(Decoder& dec) {
  HnswConfig c;
  c.m = dec.u64();
  c.m_max0 = dec.u64();
  c.m_max = dec.u64();
  c.ef_construction = dec.u64();
  c.ef_search = dec.u64();
  c.ml = dec.f64();
  c.reserved = dec.u64();
  return c;
}

size_t encoded_collection_config_size(const CollectionConfig& c) {
  return 29 + c.name.size() + (c.hnsw_config ? kHnswConfigEncodedSize : 0);
}

std::string encode_collection_config(const CollectionConfig& c) {
  std::string out;
  const size_t size = encoded_collection_config_size(c);
  out.reserve(size);
  Encoder enc(&out);
  enc.str(c.name);
  enc.u64(c.dimensions);
  enc.variant(static_cast<uint32_t>(c.metric));
  enc.u64(c.created_at);
  if (c.hnsw_config) {
    enc.some();
    serialize_hnsw_config(*c.hnsw_config, enc);
  } else {
    enc.none();
  }
  assert(out.size() == size);
  return out;
}

Result<CollectionConfig> decode_collection_config(std::string_view bytes) {
  Decoder dec(bytes);
  CollectionConfig c;
  c.name = std::string(dec.str());
  c.dimensions = dec.u64();
  c.metric = static_cast<Metric>(dec.variant(kMetricVariantCount));
  c.created_at = dec.u64();
  if (dec.option()) c.hnsw_config = deserialize_hnsw_config(dec);
  if (!dec.ok()) return dec.error();
  return c;
}

// ---- Free list ----

std::string encode_slot_list(const std::vector<uint64_t>& slots) {
  std::string out;
  out.reserve(8 + 8 * slots.size());
  Encoder enc(&out);
  enc.seq_len(slots.size());
  for (uint64_t s : slots) enc.u64(s);
  return out;
}

Result<std::vector<uint64_t>> decode_slot_list(std::string_view bytes) {
  Decoder dec(bytes);
  const uint64_t count = dec.seq_len();
  std::vector<uint64_t> slots;
  slots.reserve(cautious_capacity(count, sizeof(uint64_t)));
  for (uint64_t i = 0; i < count && dec.ok(); ++i) slots.push_back(dec.u64());
  if (!dec.ok()) return dec.error();
  return slots;
}

}  // namespace tessarin
