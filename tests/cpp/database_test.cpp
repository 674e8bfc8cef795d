// The database directory: opening, the registry operations, the map of open
// collections and collection names.
#include "database.h"

#include <cerrno>

#include "collection/state.h"
#include "search/distance.h"
#include "storage/registry.h"
#include "test_util.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;

class DatabaseTest : public testing::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    reopen();
  }
  void TearDown() override {
    db_.reset();
    TempDirTest::TearDown();
  }
  void reopen() {
    db_.reset();
    db_ = testing::ok_value(open_database(path("db")));
  }
  DatabaseState& db() { return *db_; }
  std::shared_ptr<CollectionState> make(const std::string& name, uint64_t dim = 4,
                                        Metric metric = Metric::kCosine) {
    return testing::ok_value(collection(db(), name, dim, metric));
  }
  std::string error_of(const std::string& name, uint64_t dim, Metric metric = Metric::kCosine) {
    return testing::error_text(collection(db(), name, dim, metric));
  }
  std::vector<std::string> names() { return collections(db()).value(); }

  std::unique_ptr<DatabaseState> db_;
};

TEST_F(DatabaseTest, CollectionChecksInTheDocumentedOrder) {
  // A rejected dimension wins over a bad name and writes nothing.
  EXPECT_EQ(error_of("", 0), "Invalid input: Dimensions must be greater than 0");
  EXPECT_EQ(error_of("x", 65537), "Dimensions too large: maximum is 65536, got 65537");
  EXPECT_TRUE(names().empty());

  make("docs", 8, Metric::kCosine);
  for (int round = 0; round < 2; ++round) {  // from the map of open ones, then from the registry
    EXPECT_EQ(error_of("docs", 16, Metric::kL2), "Dimension mismatch: expected 8, got 16");
    EXPECT_EQ(error_of("docs", 8, Metric::kL2),
              "Collection already exists: Collection 'docs' exists with metric Cosine, not L2");
    reopen();
  }
  EXPECT_TRUE(make("big", 65536));
}

TEST_F(DatabaseTest, OpenCollectionsAreSharedAndFoundAfterReopen) {
  auto a = make("docs", 3, Metric::kDot);
  auto b = make("docs", 3, Metric::kDot);
  EXPECT_EQ(a.get(), b.get());
  ASSERT_TRUE(add_record(*a, std::vector<float>{1, 2, 3}, json::Value(), "r", std::nullopt).ok());
  a.reset();
  b.reset();
  reopen();  // the queued write is flushed when the map lets go
  auto found = get_collection(db(), "docs");
  ASSERT_TRUE(found.ok()) << found.error().message();
  EXPECT_TRUE((*found)->config.dimensions == 3 && (*found)->config.metric == Metric::kDot);
  EXPECT_TRUE(get_by_id(**found, "r")->has_value());
  EXPECT_EQ(collection(db(), "docs", 3, Metric::kDot)->get(), found->get());
  EXPECT_EQ(get_collection(db(), "nope").error().message(), "Collection not found: nope");
}

TEST_F(DatabaseTest, DropAndListByByteOrder) {
  for (const char* name : {"beta", "alpha", "Alpha", "idle"}) make(name);
  reopen();  // "idle" is registered but not open
  EXPECT_EQ(names(), (std::vector<std::string>{"Alpha", "alpha", "beta", "idle"}));

  auto held = make("beta");
  ASSERT_TRUE(drop_collection(db(), "beta").ok());
  EXPECT_FALSE(fs::exists(path("db/collections/beta")));
  EXPECT_EQ(names(), (std::vector<std::string>{"Alpha", "alpha", "idle"}));
  // A state still held stays usable; a new collection of the same name is unrelated.
  EXPECT_TRUE(add_record(*held, std::vector<float>{1, 0, 0, 0}, json::Value(), "x", std::nullopt).ok());
  EXPECT_TRUE(live_record_count(*held).ok());
  auto fresh = make("beta");
  EXPECT_NE(fresh.get(), held.get());
  EXPECT_EQ(*live_record_count(*fresh), 0u);

  ASSERT_TRUE(drop_collection(db(), "idle").ok());
  EXPECT_FALSE(fs::exists(path("db/collections/idle")));
  // An unregistered name: nothing happens, even to a stray directory.
  fs::create_directories(path("db/collections/stray"));
  ASSERT_TRUE(drop_collection(db(), "stray").ok());
  EXPECT_TRUE(fs::exists(path("db/collections/stray")));
}

// Opening makes the layout, missing ancestors included. (The registry's lock
// is the store's: store_test.cpp, test_database.py.)
TEST_F(DatabaseTest, LayoutAndNamesThatWouldLeaveTheCollectionsDirectory) {
  EXPECT_TRUE(open_database(path("a/b/c")).ok());
  EXPECT_TRUE(fs::is_directory(path("a/b/c/collections")));
  fs::create_directories(path("db/collections/keep"));
  for (std::string name : {std::string(""), std::string("."), std::string(".."),
                           std::string("../escape"), std::string("a/b"), std::string("/abs"),
                           std::string("nul\0x", 5), std::string(256, 'n')}) {
    EXPECT_EQ(collection(db(), name, 4, Metric::kCosine).error().kind(), DbError::Kind::kInvalidInput) << name;
    EXPECT_EQ(get_collection(db(), name).error().kind(), DbError::Kind::kInvalidInput) << name;
    EXPECT_TRUE(drop_collection(db(), name).ok()) << name;
  }
  EXPECT_TRUE(names().empty());
  EXPECT_TRUE(fs::exists(path("db/collections/keep")));
  EXPECT_TRUE(fs::exists(path("db/meta.redb")));
  EXPECT_FALSE(fs::exists(path("escape")));
  EXPECT_TRUE(make("...") && make(".hidden") && make("a..b"));  // dots elsewhere are ordinary
  EXPECT_TRUE(make(std::string(255, 'n')));                      // the longest directory name

  // A name too long for a directory, registered by an older build, goes by
  // its row alone.
  const std::string legacy(300, 'n');
  {
    WriteTxn txn = write_transaction(db().registry).value();
    ASSERT_TRUE(save_collection_config(txn, CollectionConfig{legacy, 4}).ok());
    ASSERT_TRUE(txn.commit().ok());
  }
  ASSERT_EQ(names().size(), 5u);
  ASSERT_TRUE(drop_collection(db(), legacy).ok());
  EXPECT_EQ(names().size(), 4u);
}

TEST_F(DatabaseTest, RacingOpensOfOneCollectionShareOneState) {
  make("docs");
  reopen();  // registered, not open
  std::vector<std::shared_ptr<CollectionState>> got(6);
  testing::run_threads(6, [&](int t) {
    auto c = t % 2 ? get_collection(db(), "docs") : collection(db(), "docs", 4, Metric::kCosine);
    if (c.ok()) got[t] = *c;
  });
  for (const auto& g : got) {
    ASSERT_TRUE(g);
    EXPECT_EQ(g.get(), got[0].get());
  }
}

// A Collection object of a dropped graph collection goes on adding, deleting
// and syncing after the name was created again, with the same ids in the same
// slots: it must neither remove the new collection's "hnsw.index" (its
// deletes' slot release) nor write its own graph there (its sync), which the
// new collection would load, as the pairs match, and search with. The old
// state is held from this database's map, or from an earlier database object
// of the directory (a drop here never saw it).
TEST_F(DatabaseTest, ADroppedCollectionWritesNothingIntoItsSuccessor) {
  const std::string index = path("db/collections/g/hnsw.index");
  // Small lists and beam: a graph built over other vectors finds other
  // nearest records.
  auto create = [&](uint32_t seed) {
    CollectionConfig config{"g", 8, Metric::kL2, 1, HnswConfig{8, 16, 8, 50, 4, 0.5, 0}};
    EXPECT_TRUE(register_collection(db(), config).ok());
    auto c = testing::ok_value(get_collection(db(), "g"));
    const auto vectors = testing::normal_vectors(50, 8, seed);
    for (size_t i = 0; i < vectors.size(); ++i) {
      EXPECT_TRUE(add_record(*c, vectors[i], {}, "r" + std::to_string(i), {}).ok());
    }
    EXPECT_TRUE(sync_collection(*c).ok());
    return std::pair{c, vectors};
  };
  for (const bool from_earlier_database : {false, true}) {
    SCOPED_TRACE(from_earlier_database);
    auto [old, old_vectors] = create(1);
    if (from_earlier_database) reopen();
    ASSERT_TRUE(drop_collection(db(), "g").ok());
    auto [fresh, vectors] = create(2);
    const std::string saved = testing::file_bytes(index);
    ASSERT_FALSE(saved.empty());
    // The delete releases slot 0, the add takes it again: the same pairs.
    ASSERT_TRUE(*delete_by_id(*old, "r0"));
    EXPECT_EQ(testing::file_bytes(index), saved);
    ASSERT_TRUE(add_record(*old, old_vectors[0], {}, "r0", {}).ok());
    ASSERT_TRUE(sync_collection(*old).ok());
    EXPECT_EQ(testing::file_bytes(index), saved);
    EXPECT_EQ(*live_record_count(*old), 50u);  // the old state itself still works

    // The reopened collection searches with its own graph, as before.
    auto nearest = [&] {
      std::vector<std::string> out;
      for (const auto& v : vectors) {
        out.push_back(testing::ok_value(search_collection(*fresh, v, 1, std::nullopt)).at(0).id);
      }
      return out;
    };
    const std::vector<std::string> before = nearest();
    fresh.reset();
    reopen();
    fresh = testing::ok_value(get_collection(db(), "g"));
    EXPECT_FALSE(fresh->index_stale.load());  // the file was loaded
    EXPECT_EQ(nearest(), before);
    fresh.reset();
    old.reset();
    ASSERT_TRUE(drop_collection(db(), "g").ok());
  }
}

// A directory under "collections/" that no drop marked is never removed. An
// open leaves it alone; creating its name adopts it when its vector file has
// the requested dimensions, clears it when it holds no record (a creation
// cut short), and otherwise is refused with an error naming it. A
// registered collection keeps its files through all of this.
TEST_F(DatabaseTest, UnmarkedDirectoriesAreAdoptedClearedOrRefusedNeverRemoved) {
  const fs::path source = path("other/collections/src");
  {
    auto other = testing::ok_value(open_database(path("other")));
    auto src = testing::ok_value(collection(*other, "src", 4, Metric::kCosine));
    BatchVectors rows;
    rows.rows = testing::normal_vectors(3000, 4, 1);  // the vector file grew
    ASSERT_TRUE(add_batch_impl(*src, rows, std::vector<json::Value>(3000), {}, {}).ok());
  }
  const uint64_t grown = fs::file_size(source / "vectors.bin");
  auto kept = make("kept");
  ASSERT_TRUE(add_record(*kept, std::vector<float>{1, 0, 0, 0}, {}, "k", {}).ok());
  kept.reset();
  struct Case {
    const char* name;
    bool with_vectors, with_store;
    uint64_t dim;
    uint64_t records;      // once adopted or cleared
    uint64_t vector_bytes;
    bool refused;
  };
  const uint64_t fresh16 = 64 + 16 * 4 * 1024;
  for (const Case& c : {Case{"whole", true, true, 4, 3000, grown, false},
                        Case{"vectors", true, false, 4, 0, grown, false},
                        Case{"no_record_other_dim", true, false, 16, 0, fresh16, false},
                        Case{"records_other_dim", true, true, 16, 0, 0, true}}) {

    SCOPED_TRACE(c.name);
    const fs::path dir = path("db/collections") + "/" + c.name;
    fs::create_directories(dir);
    if (c.with_vectors) fs::copy_file(source / "vectors.bin", dir / "vectors.bin");
    if (c.with_store) fs::copy_file(source / "meta.redb", dir / "meta.redb");
    reopen();  // the open leaves it alone
    ASSERT_TRUE(fs::exists(dir));
    auto created = collection(db(), c.name, c.dim, Metric::kCosine);
    if (c.refused) {
      EXPECT_EQ(testing::error_text(created),
                "Collection already exists: Directory '" + fs::canonical(dir).string() +
                    "' (holding records, without a vector file of " + std::to_string(c.dim) +
                    " dimensions) belongs to no registered collection; move it away to create "
                    "collection '" + c.name + "'");
      EXPECT_EQ(fs::file_size(dir / "meta.redb"), fs::file_size(source / "meta.redb"));
      continue;
    }
    ASSERT_TRUE(created.ok()) << created.error().message();
    EXPECT_EQ(*live_record_count(**created), c.records);
    EXPECT_EQ(vectors_size_bytes(**created), c.vector_bytes);
    const std::vector<float> v(c.dim, 1.0f);
    ASSERT_TRUE(add_record(**created, v, {}, "new", {}).ok());
    EXPECT_EQ(testing::ok_value(search_collection(**created, v, 5, std::nullopt)).size(),
              std::min<uint64_t>(c.records + 1, 5));
  }
  fs::create_directories(path("db/collections"));
  testing::put_file(path("db/collections/file"), "x");
  EXPECT_NE(error_of("file", 4).find("' (no directory) belongs to no registered collection"),
            std::string::npos);
  reopen();
  EXPECT_TRUE(fs::exists(path("db/collections/records_other_dim/vectors.bin")));
  EXPECT_TRUE(fs::exists(path("db/collections/file")));
  EXPECT_TRUE(get_by_id(*testing::ok_value(get_collection(db(), "kept")), "k")->has_value());
  EXPECT_EQ(*live_record_count(*testing::ok_value(get_collection(db(), "whole"))), 3001u);
}

// A registry lost to a copy that left it out, or to a file-system repair
// (none, or 0 bytes), loses the names but never the files: creating a name
// again with its dimensions finds its records.
TEST_F(DatabaseTest, ALostRegistryKeepsEveryCollectionsFiles) {
  for (const bool empty_file : {true, false}) {
    SCOPED_TRACE(empty_file);
    const std::string name = empty_file ? "notes" : "memories";
    BatchVectors rows;
    rows.rows = testing::normal_vectors(10, 4, 2);
    ASSERT_TRUE(add_batch_impl(*make(name), rows, std::vector<json::Value>(10), {}, {}).ok());
    db_.reset();
    fs::remove(path("db/meta.redb-lock"));
    if (empty_file) {
      testing::put_file(path("db/meta.redb"), "");
    } else {
      fs::remove(path("db/meta.redb"));
    }
    reopen();
    EXPECT_TRUE(names().empty());
    EXPECT_EQ(*live_record_count(*make(name)), 10u);
  }
}

// A drop marks the directory before its row goes and removes the marker
// last. A marked directory whose name still has a row is one whose drop
// never committed: it loses the marker and keeps its records. One without a
// row is what a drop left: the next open removes it, and so does the
// creation of its name, which starts empty.
TEST_F(DatabaseTest, OnlyDirectoriesADropMarkedAreRemoved) {
  const std::vector<float> v{1, 0, 0, 0};
  for (const char* name : {"kept", "left", "recreated"}) {
    ASSERT_TRUE(add_record(*make(name), v, {}, "r", {}).ok());
  }
  auto unregister = [&](const std::string& name) {
    WriteTxn txn = write_transaction(db().registry).value();
    ASSERT_TRUE(delete_collection_config(txn, name).ok());
    ASSERT_TRUE(txn.commit().ok());
  };
  auto marker = [&](const std::string& name) {
    return path("db/collections/" + name + "/" + std::string(kDropMarker));
  };
  unregister("left");
  for (const char* name : {"kept", "left"}) testing::put_file(marker(name), "");
  reopen();
  EXPECT_EQ(names(), (std::vector<std::string>{"kept", "recreated"}));
  EXPECT_FALSE(fs::exists(marker("kept")));
  EXPECT_TRUE(get_by_id(*testing::ok_value(get_collection(db(), "kept")), "r")->has_value());
  EXPECT_FALSE(fs::exists(path("db/collections/left")));

  unregister("recreated");
  testing::put_file(marker("recreated"), "");
  EXPECT_EQ(*live_record_count(*make("recreated")), 0u);
  EXPECT_FALSE(fs::exists(marker("recreated")));

  // A drop whose row removal fails leaves the collection as it was.
  platform::FaultInjection::fail(platform::Op::kStoreCommit, EIO);
  EXPECT_EQ(drop_collection(db(), "kept").error().kind(), DbError::Kind::kTransaction);
  platform::FaultInjection::reset();
  EXPECT_FALSE(fs::exists(marker("kept")));
  EXPECT_TRUE(get_by_id(*testing::ok_value(get_collection(db(), "kept")), "r")->has_value());
}

// A creation killed before its vector file got a header, under a build that
// committed the registry row first, left "vectors.bin" empty or all zeros.
// With nothing in the store the collection opens empty; beside a stored
// record, or with a header that is damaged rather than missing, the file
// stays an error.
TEST_F(DatabaseTest, ARegisteredVectorFileThatNeverGotAHeaderStartsEmptyOnlyWithoutRecords) {
  const std::string zeros(64 + 16 * 4 * 1024, '\0');
  std::string damaged = zeros;
  damaged[3] = 'T';
  struct Case {
    const char* name;
    std::string bytes;
    bool with_record;
    bool opens;
  };
  for (const Case& c : {Case{"empty", "", false, true}, Case{"zeros", zeros, false, true},
                        Case{"zeros_beside_a_record", zeros, true, false},
                        Case{"damaged", damaged, false, false}}) {
    SCOPED_TRACE(c.name);
    {
      auto made = make(c.name, 16);
      if (c.with_record) {
        ASSERT_TRUE(add_record(*made, std::vector<float>(16, 1.0f), {}, "r", {}).ok());
      }
    }
    db_.reset();
    testing::put_file(path("db/collections/") + c.name + "/vectors.bin", c.bytes);
    reopen();
    auto opened = get_collection(db(), c.name);
    if (!c.opens) {
      ASSERT_FALSE(opened.ok());
      EXPECT_EQ(opened.error().kind(), DbError::Kind::kDataCorruption);
      EXPECT_EQ(collection(db(), c.name, 16, Metric::kCosine).error().kind(),
                DbError::Kind::kDataCorruption);
      continue;
    }
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    EXPECT_EQ(*live_record_count(**opened), 0u);
    EXPECT_EQ(vectors_size_bytes(**opened), 64 + 16 * 4 * 1024u);
    ASSERT_TRUE(add_record(**opened, std::vector<float>(16, 1.0f), {}, "n", {}).ok());
    opened->reset();
    reopen();
    EXPECT_EQ(*live_record_count(*testing::ok_value(collection(db(), c.name, 16, Metric::kCosine))), 1u);
  }
}

TEST_F(DatabaseTest, SyncAllFlushesEveryQueue) {
  auto a = make("a", 2, Metric::kL2), b = make("b", 2, Metric::kL2);
  for (auto* c : {a.get(), b.get()}) ASSERT_TRUE(add_record(*c, std::vector<float>{1, 2}, {}, "r", {}).ok());
  ASSERT_TRUE(sync_all(db()).ok());
  for (auto* c : {a.get(), b.get()}) {
    MutexLock lock(c->pending_mu);
    EXPECT_TRUE(c->pending.empty());
  }
}

}  // namespace
}  // namespace tessarin
