// The binary record encoding: the byte form of every value kept in the store
// tables (Record, CollectionConfig, the free list) and of the body of
// "hnsw.index".
//
// Rules (no header, no field names, no padding, no end marker):
//   u8/u16/u32/u64   1/2/4/8 bytes little-endian
//   f32/f64          the IEEE 754 bits as little-endian u32/u64
//   text             u64 byte length, then the UTF-8 bytes
//   sequence         u64 element count, then each element
//   optional         u8 0 (none) or u8 1 followed by the value
//   enum, no payload u32 variant index
//   struct           its fields in declaration order
// Decoding reads fields in order from the start; bytes after the last field
// are ignored. The first failure ends a decode; its text is one of
//   "io error: unexpected end of file"      a fixed-width field, length
//                                            prefix, tag or element is short
//   "io error: "                             a text longer than what is left
//   "string is not valid utf8: <detail>"     detail as in Utf8Error::message
//   "tag for enum is not valid, found {}"    an option tag other than 0 or 1
//   "invalid value: integer `{}`, expected variant index 0 <= i < {}"
// and becomes DbError::Serialization(text).
//
// Encoder and Decoder are small cursors over caller-owned bytes; the
// encode_*/decode_* functions below are the typed entry points.
//
// Thread safety: plain values; an Encoder or Decoder is used by one thread.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "error.h"
#include "storage/record.h"

namespace tessarin {

// Appends values to a byte string. Never fails.
class Encoder {
 public:
  // REQUIRES: out outlives the encoder.
  explicit Encoder(std::string* out) : out_(out) {}

  void u8(uint8_t v) { out_->push_back(static_cast<char>(v)); }
  void u16(uint16_t v) { put_le(v); }
  void u32(uint32_t v) { put_le(v); }
  void u64(uint64_t v) { put_le(v); }
  void f32(float v);
  void f64(double v);
  void str(std::string_view s) {
    u64(s.size());
    out_->append(s);
  }
  void seq_len(uint64_t count) { u64(count); }
  void none() { u8(0); }
  void some() { u8(1); }
  void variant(uint32_t index) { u32(index); }

 private:
  template <typename T>
  void put_le(T v) {
    char b[sizeof(T)];
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(b, &v, sizeof(T));
    } else {
      for (size_t i = 0; i < sizeof(T); ++i) b[i] = static_cast<char>(v >> (8 * i));
    }
    out_->append(b, sizeof(T));
  }

  std::string* out_;
};

// Where a byte string stops being valid UTF-8, with the meaning of Rust's
// core::str::Utf8Error: the bytes before valid_up_to are valid; error_len is
// the length (1 to 3) of the invalid sequence found there, or 0 when the
// input ends in the middle of a sequence that could still be completed.
struct Utf8Error {
  size_t valid_up_to = 0;
  uint8_t error_len = 0;

  // "invalid utf-8 sequence of {error_len} bytes from index {valid_up_to}"
  // or "incomplete utf-8 byte sequence from index {valid_up_to}".
  std::string message() const;
};

// nullopt when `bytes` is entirely valid UTF-8.
std::optional<Utf8Error> validate_utf8(std::string_view bytes);

// Reads values from a byte string. Errors are sticky: after the first
// failure every read returns a zero value and the first failure is kept, so
// a typed decoder may read all its fields and test ok() once at the end (or
// earlier, before acting on a value such as a sequence count).
class Decoder {
 public:
  // REQUIRES: the bytes outlive the decoder and every view it returned.
  explicit Decoder(std::string_view bytes) : pos_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  uint8_t u8() {
    if (pos_ == end_) {
      eof();
      return 0;
    }
    return static_cast<uint8_t>(*pos_++);
  }
  uint16_t u16() { return get_le<uint16_t>(); }
  uint32_t u32() { return get_le<uint32_t>(); }
  uint64_t u64() { return get_le<uint64_t>(); }
  float f32();
  double f64();
  // A text, checked to be UTF-8; the view points into the input bytes.
  std::string_view str();
  // An option tag: true when a value follows.
  bool option();
  // An enum variant index, checked to be below `count`.
  uint32_t variant(uint32_t count);
  // A sequence's element count (not checked against the bytes left: a short
  // sequence fails when its elements are read).
  uint64_t seq_len() { return u64(); }
  // `count` little-endian integers of T into *out (replacing its contents),
  // as `count` reads of T would give them; when the bytes run out first,
  // the same failure and an empty *out. Nothing is reserved beyond the
  // bytes left.
  template <typename T>
  void fixed_array(uint64_t count, std::vector<T>* out) {
    static_assert(std::is_integral_v<T>);
    out->clear();
    if (failed_) return;
    if (count > remaining() / sizeof(T)) {
      eof();
      return;
    }
    out->resize(static_cast<size_t>(count));
    if constexpr (std::endian::native == std::endian::little) {
      if (count > 0) std::memcpy(out->data(), pos_, static_cast<size_t>(count) * sizeof(T));
      pos_ += static_cast<size_t>(count) * sizeof(T);
    } else {
      for (T& v : *out) v = get_le<T>();
    }
  }

  bool ok() const { return !failed_; }
  size_t remaining() const { return static_cast<size_t>(end_ - pos_); }
  // The first failure as DbError::Serialization carrying the decoder text.
  // REQUIRES: !ok().
  DbError error() const { return DbError::Serialization(error_); }

 private:
  template <typename T>
  T get_le() {
    if (remaining() < sizeof(T)) {
      eof();
      return T{0};
    }
    T v = 0;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&v, pos_, sizeof(T));
    } else {
      for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(static_cast<uint8_t>(pos_[i])) << (8 * i);
    }
    pos_ += sizeof(T);
    return v;
  }
  void eof();
  void fail(std::string text);

  const char* pos_;
  const char* end_;
  bool failed_ = false;
  std::string error_;  // the first failure's text
};

// How many elements a decoder reserves room for before reading a sequence
// whose stored count is `count`: never more than 1 MiB worth of elements of
// `element_size` bytes (131072 u64, 262144 u32, 1048576 u8, 43690 strings or
// nested sequences at 24 bytes each). More room is added as elements arrive,
// so a damaged count fails at the end of the data, not in the allocator.
inline size_t cautious_capacity(uint64_t count, size_t element_size) {
  const uint64_t cap = (uint64_t{1} << 20) / (element_size == 0 ? 1 : element_size);
  return static_cast<size_t>(count < cap ? count : cap);
}

// ---- Record ----

// 37 + id bytes + metadata bytes, plus 8 with an expiry.
size_t encoded_record_size(const Record& record);
// The exact-size encoding of `record`.
std::string encode_record(const Record& record);
Result<Record> decode_record(std::string_view bytes);

// A record decoded in place: the texts are views into the encoded bytes.
// Used by scans that read many records and keep few of them.
struct RecordView {
  std::string_view id;
  uint64_t slot = 0;
  std::string_view metadata;
  uint64_t created_at = 0;
  std::optional<uint64_t> expires_at;
  RecordStatus status = RecordStatus::kActive;

  Record to_record() const {
    return Record{std::string(id), slot, std::string(metadata), created_at, expires_at, status};
  }
};
// Same checks and texts as decode_record. REQUIRES: bytes outlive the view.
Result<RecordView> decode_record_view(std::string_view bytes);

// ---- CollectionConfig ----

inline constexpr size_t kHnswConfigEncodedSize = 56;

// Appends the 56 bytes of `config`.
void serialize_hnsw_config(const HnswConfig& config, Encoder& enc);
HnswConfig deserialize_hnsw_config(Decoder& dec);

// 29 + name bytes, plus 56 with an HnswConfig.
size_t encoded_collection_config_size(const CollectionConfig& config);
std::string encode_collection_config(const CollectionConfig& config);
Result<CollectionConfig> decode_collection_config(std::string_view bytes);

// ---- Free list (a sequence of u64 slots, in list order) ----

std::string encode_slot_list(const std::vector<uint64_t>& slots);
Result<std::vector<uint64_t>> decode_slot_list(std::string_view bytes);

}  // namespace tessarin
