// Export to and import from NDJSON files: what is written, round trips, and
// every way an import file can be refused or partly counted as failed. (The
// line format and its exact float round trip: ndjson_test.cpp.)
#include <cerrno>
#include <cmath>
#include <sstream>
#include <tuple>

#include "collection_test_util.h"
#include "export/ndjson.h"

namespace tessarin {
namespace {

using testing::obj;

class ExportTest : public testing::CollectionTest {
 protected:
  std::string write_file(const std::string& name, const std::string& content) {
    testing::put_file(path(name), content);
    return path(name);
  }
  std::vector<std::string> read_lines(const std::string& p) {
    std::stringstream ss(testing::file_bytes(p));
    EXPECT_TRUE(ss.str().empty() || ss.str().back() == '\n');
    std::vector<std::string> lines;
    for (std::string line; std::getline(ss, line);) lines.push_back(line);
    return lines;
  }
  uint64_t export_to(const std::string& p) { return testing::ok_value(export_to_file(st(), p)); }
  std::string import_error(CollectionState& into, const std::string& file) {
    return testing::error_text(import_from_file(into, file));
  }
};

TEST_F(ExportTest, WritesTheHeaderAndEveryLiveRecord) {
  open(4, Metric::kL2);
  const std::string header = "{\"version\":1,\"collection\":\"c\",\"dimensions\":4,\"metric\":\"l2\",\"record_count\":";
  EXPECT_EQ(export_to(path("empty.ndjson")), 0u);  // no "records" table yet
  auto lines = read_lines(path("empty.ndjson"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind(header + "0,\"exported_at\":", 0), 0u) << lines[0];

  add({100, 123.25f, 1e-7f, 1e13f}, obj({{"z", json::Value(1)}, {"a", json::Value(2.5)}}), "a");
  add({1, 2, 3, 4}, json::Object(), "b", 90);
  add({1, 2, 3, 4}, json::Object(), "expired", 0);
  add({1, 2, 3, 4}, json::Object(), "tomb");
  add({1, 2, 3, 4}, json::Value(), "nan");
  sync();
  write_slot(stored("nan")->slot, {1, INFINITY, NAN, 0});  // refused by add; a file may hold it
  interrupted_delete("tomb");  // (Pending records: batch_test.cpp)
  add({5, 5, 5, 5}, json::Object(), "queued");  // flushed by the export

  EXPECT_EQ(export_to(path("out.ndjson")), 4u);
  lines = read_lines(path("out.ndjson"));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].rfind(header + "4,", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "{\"id\":\"a\",\"vector\":[100.0,123.25,1e-7,1e+13],\"metadata\":{\"a\":2.5,\"z\":1},"
                      "\"created_at\":" + std::to_string(stored("a").value().created_at) + "}");
  ExportRecord b;
  ASSERT_TRUE(decode_export_record(lines[2], b).ok());
  EXPECT_EQ(b.id, "b");
  EXPECT_TRUE(b.ttl == 90u || b.ttl == 89u);  // a second may pass
  EXPECT_EQ(lines[3], "{\"id\":\"nan\",\"vector\":[1.0,null,null,0.0],\"metadata\":null,"
                      "\"created_at\":" + std::to_string(stored("nan").value().created_at) + "}");
  EXPECT_EQ(lines[4].rfind("{\"id\":\"queued\",", 0), 0u);

  // A null element ends an import of that file, with the line's number.
  EXPECT_EQ(import_error(*open_other("target", 4, Metric::kL2), path("out.ndjson")),
            "Deserialization error: Invalid record at line 4: invalid type: null, expected f32 at "
            "line 1 column 30");
}

TEST_F(ExportTest, RefusedImports) {
  open(3);
  const std::string header = "{\"version\":1,\"collection\":\"c\",\"dimensions\":3,\"metric\":\"dot\","
                             "\"record_count\":0,\"exported_at\":0}\n";
  const std::string good = "{\"id\":\"g\",\"vector\":[1,2,3],\"metadata\":{}}\n";
  auto with = [&](const char* from, const char* to) {
    std::string h = header;
    return h.replace(h.find(from), std::string(from).size(), to);
  };
  const std::pair<std::string, std::string> cases[] = {
      {"", "Deserialization error: Invalid export header: EOF while parsing a value at line 1 column 0"},
      {with("\"version\":1", "\"version\":2") + good,
       "Invalid format: Export version 2 is newer than supported version 1"},
      {with("\"dimensions\":3", "\"dimensions\":4"), "Invalid dimensions: expected 3, got 4"},
      {"{\"version\":1}\n", "Deserialization error: Invalid export header: missing field `collection` at line 1 column 13"},
      {header + good + "   \n\t\n" + "{\"id\":\"x\",\"vector\":[1,2,3]}\n" + good,
       "Deserialization error: Invalid record at line 5: missing field `metadata` at line 1 column 27"},
      {header + good + "bad\xff\n", "I/O error: stream did not contain valid UTF-8"},
      {header + "{\"id\":\"x\",\"vector\":[1,2,3],\"metadata\":{}} {}\n",
       "Deserialization error: Invalid record at line 2: trailing characters at line 1 column 43"},
  };
  int n = 0;
  for (const auto& [content, message] : cases) {
    EXPECT_EQ(import_error(st(), write_file("f" + std::to_string(n++), content)), message);
  }
  EXPECT_TRUE(get("g"));  // records upserted before the failing line stay
  EXPECT_EQ(import_from_file(st(), path("no-such-file")).error().os_error(), ENOENT);
}

TEST_F(ExportTest, ImportCountsFailuresAndReadsEveryLine) {
  open(3);
  // Version 0, another metric and name; an extra key; a vector one element
  // too long; Unicode white space around a line; no final line feed.
  const std::string content =
      "[0,\"elsewhere\",3,\"cosine\",99,1]\r\n"
      "{\"id\":\"a\",\"vector\":[1,0,0],\"metadata\":{\"k\":1},\"extra\":{\"x\":[]},\"ttl\":100}\n"
      "{\"id\":\"long\",\"vector\":[1,0,0,0],\"metadata\":null}\n"
      "\u3000\u00a0[\"b\",[0,1,0],[1,2],5,null]\u2028\n"
      "\n"
      "{\"id\":\"c\",\"vector\":[0,0,1],\"metadata\":\"s\",\"created_at\":null}";
  const uint64_t before = now_secs();
  auto r = import_from_file(st(), write_file("in.ndjson", content));
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(std::tuple(r->imported, r->failed, r->skipped), std::tuple(3u, 1u, 0u));
  EXPECT_EQ(queued(), 0u);  // the import flushes at the end

  const Record a = stored("a").value();
  EXPECT_GE(a.created_at, before);  // the file's created_at is not kept
  EXPECT_EQ(a.expires_at, a.created_at + 100);
  EXPECT_EQ(stored("b").value().metadata, "[1,2]");
  EXPECT_EQ(stored("c").value().metadata, "\"s\"");
  EXPECT_FALSE(stored("long"));
}

// Files of several thousand lines, so lines are printed, read and decoded in
// more than one piece: order, counts and line numbers must not notice.
TEST_F(ExportTest, LongFilesKeepOrderAndLineNumbers) {
  open(2);
  BatchVectors v;
  std::vector<json::Value> metas;
  std::vector<std::string> want;
  for (int i = 0; i < 2500; ++i) {
    v.rows.push_back({static_cast<float>(i), 1});
    metas.push_back(obj({{"i", json::Value(i)}}));
    char id[8];
    std::snprintf(id, sizeof id, "r%04d", i);
    want.push_back(id);
  }
  ASSERT_TRUE(add_batch_impl(st(), v, metas, want, std::nullopt).ok());
  ASSERT_EQ(export_to(path("long.ndjson")), 2500u);
  auto lines = read_lines(path("long.ndjson"));
  ASSERT_EQ(lines.size(), 2501u);
  for (size_t i = 1; i < lines.size(); ++i) {  // in key order, each with its own vector
    ASSERT_EQ(lines[i].rfind("{\"id\":\"" + want[i - 1] + "\",\"vector\":[" + std::to_string(i - 1) + ".0,", 0), 0u);
  }
  // Into another collection, twice: the second import replaces every record.
  auto whole = open_other("whole", 2, Metric::kDot);
  for (int round = 0; round < 2; ++round) EXPECT_EQ(import_from_file(*whole, path("long.ndjson"))->imported, 2500u);
  EXPECT_EQ(*live_record_count(*whole), 2500u);
  EXPECT_EQ(get_by_id(*whole, "r1234")->value().metadata, metas[1234]);

  // A line of spaces after every seventh line; a bad line after 2000 records.
  std::string body = lines[0] + "\n";
  uint64_t line_no = 1;
  auto append = [&](const std::string& line) {
    if (line_no % 7 == 0) {
      body += " \n";
      ++line_no;
    }
    body += line + "\n";
    ++line_no;
  };
  for (int k = 0; k < 2000; ++k) append(lines[1 + k]);
  const std::string head = body;
  const uint64_t bad_line = line_no + 1 + (line_no % 7 == 0 ? 1 : 0);
  append("{\"id\":\"bad\"}");
  append(lines[2001]);
  auto t1 = open_other("t1", 2, Metric::kDot);
  EXPECT_EQ(import_error(*t1, write_file("bad.ndjson", body)),
            "Deserialization error: Invalid record at line " + std::to_string(bad_line) +
                ": missing field `vector` at line 1 column 12");
  EXPECT_EQ(*live_record_count(*t1), 2000u);  // everything before it, nothing after

  auto t2 = open_other("t2", 2, Metric::kDot);
  EXPECT_EQ(import_error(*t2, write_file("utf8.ndjson", head + "\xc3\x28\n" + lines[2001] + "\n")),
            "I/O error: stream did not contain valid UTF-8");
  EXPECT_EQ(*live_record_count(*t2), 2000u);
}

}  // namespace
}  // namespace tessarin
