// export_sqlite.cpp -- the records and events of kavrex-export's walk as
// rows of an SQLite database: the two tables, their prepared inserts, the
// transactions, and the text of a row made valid UTF-8 as the JSON output
// makes it.
#include "tools/export_sqlite.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tools/kavrex-export.h"

namespace kavrex_export {
namespace {

// The columns carry the names of the JSON output's fields: `index` is
// `idx`, and an overrun's `from` and `to` are `from_idx` and `to_idx`, so
// that no column name is an SQL keyword. hex_dumps is the same JSON text
// as in that output.
constexpr const char* kTables =
    "CREATE TABLE IF NOT EXISTS records ("
    "idx INTEGER, time INTEGER, time_utc TEXT, stamp INTEGER, component INTEGER, component_name TEXT, "
    "feature INTEGER, feature_name TEXT, pid INTEGER, csvr INTEGER, thrd INTEGER, session INTEGER, "
    "trans INTEGER, rstcb INTEGER, file TEXT, line INTEGER, message TEXT, hex_dumps TEXT);"
    "CREATE TABLE IF NOT EXISTS events ("
    "kind TEXT, idx INTEGER, skip TEXT, from_idx INTEGER, to_idx INTEGER, pid INTEGER, message TEXT, "
    "hex_dumps TEXT);";

// Each column named, so that a table made by someone else with other
// columns fails here, with the library's message naming the column.
constexpr const char* kInsertRecord =
    "INSERT INTO records (idx, time, time_utc, stamp, component, component_name, feature, feature_name, "
    "pid, csvr, thrd, session, trans, rstcb, file, line, message, hex_dumps) "
    "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
constexpr const char* kInsertEvent =
    "INSERT INTO events (kind, idx, skip, from_idx, to_idx, pid, message, hex_dumps) VALUES (?,?,?,?,?,?,?,?)";

// Another writer holding the database is waited for this long.
constexpr int kBusyTimeoutMs = 10000;
// A followed ring's transaction is committed at the first poll after this.
constexpr std::int64_t kCommitEveryMs = 1000;

// Room for a file name (the reader takes 4096 bytes at most) and for a
// message (its dump text and line), each byte of which may become the
// three of U+FFFD; and for the hex dumps as JSON, four characters a byte
// and the brackets and commas of every dump.
constexpr std::size_t kFileRoom = 3 * 4096;
constexpr std::size_t kMessageRoom = 3 * (Message::kDumpTextMax + kvf::kLineRoom);
constexpr std::size_t kDumpsRoom = 4 * Message::kDumpBytesMax + 3 * Message::kDumpsMax + 8;

std::int64_t now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Copies `n` bytes of `text` to `out`, each byte that starts no UTF-8
// character replaced with U+FFFD; returns the bytes written (3n at most).
std::size_t valid_utf8(const char* text, std::size_t n, char* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  std::size_t o = 0;
  for (std::size_t i = 0; i < n;) {
    std::size_t seq = utf8_sequence(p + i, n - i);
    if (seq == 0) {
      std::memcpy(out + o, "\xEF\xBF\xBD", 3);
      o += 3;
      i += 1;
    } else {
      std::memcpy(out + o, text + i, seq);
      o += seq;
      i += seq;
    }
  }
  return o;
}

// The hex dumps as the JSON output writes them: [[b,...],...].
std::size_t dumps_json(const unsigned char* bytes, const std::uint32_t* ends, std::size_t dumps, char* out) {
  std::size_t o = 0;
  out[o++] = '[';
  std::size_t i = 0;
  for (std::size_t d = 0; d < dumps; ++d) {
    if (d) out[o++] = ',';
    out[o++] = '[';
    for (std::size_t first = i; i < ends[d]; ++i) {
      if (i != first) out[o++] = ',';
      unsigned b = bytes[i];
      if (b >= 100) out[o++] = static_cast<char>('0' + b / 100);
      if (b >= 10) out[o++] = static_cast<char>('0' + b / 10 % 10);
      out[o++] = static_cast<char>('0' + b % 10);
    }
    out[o++] = ']';
  }
  out[o++] = ']';
  return o;
}

// SQLite's integers are signed: a value of 2^63 and above keeps its 64
// bits as the negative number they read as.
sqlite3_int64 as_signed(std::uint64_t v) {
  sqlite3_int64 s;
  std::memcpy(&s, &v, sizeof s);
  return s;
}

}  // namespace

SqliteOutput::SqliteOutput()
    : file_(new char[kFileRoom]), message_(new char[kMessageRoom]), dumps_(new char[kDumpsRoom]) {}

SqliteOutput::~SqliteOutput() {
  sqlite3_finalize(insert_record_);
  sqlite3_finalize(insert_event_);
  sqlite3_close(db_);
}

bool SqliteOutput::open(const char* path, bool follow) {
  path_ = path;
  follow_ = follow;
  // ":memory:" is the library's name for a database in memory only; a file
  // of that name is meant here.
  const char* file = std::strcmp(path, ":memory:") == 0 ? "./:memory:" : path;
  int code = sqlite3_open_v2(file, &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (code == SQLITE_OK) code = sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // Kept to this connection: a large one-pass transaction stays in memory
  // rather than spilling into the file before its commit.
  if (code == SQLITE_OK) code = sqlite3_exec(db_, "PRAGMA cache_size = -65536", nullptr, nullptr, nullptr);
  // The tables are made, and the inserts checked against them, in one
  // transaction: a database whose tables do not fit is left as it was.
  if (code == SQLITE_OK) code = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
  if (code == SQLITE_OK) code = sqlite3_exec(db_, kTables, nullptr, nullptr, nullptr);
  if (code == SQLITE_OK) code = sqlite3_prepare_v2(db_, kInsertRecord, -1, &insert_record_, nullptr);
  if (code == SQLITE_OK) code = sqlite3_prepare_v2(db_, kInsertEvent, -1, &insert_event_, nullptr);
  if (code == SQLITE_OK) code = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (code == SQLITE_OK) return true;
  std::fprintf(stderr, "kavrex-export: %s: %s\n", path, db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
  if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return false;
}

void SqliteOutput::fail() {
  std::fprintf(stderr, "kavrex-export: %s: %s\n", path_, sqlite3_errmsg(db_));
  // Nothing of an unfinished transaction stays; should the rollback fail
  // too, the library's journal undoes it when the file is next opened.
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  std::_Exit(1);
}

void SqliteOutput::check(int code) {
  if (code != SQLITE_OK) fail();
}

void SqliteOutput::step(sqlite3_stmt* statement) {
  int code = sqlite3_step(statement);
  sqlite3_reset(statement);
  if (code != SQLITE_DONE) fail();
  check(sqlite3_clear_bindings(statement));
}

void SqliteOutput::begin() {
  if (open_transaction_) return;
  check(sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr));
  open_transaction_ = true;
  begun_ms_ = now_ms();
}

bool SqliteOutput::commit() {
  if (!open_transaction_) return true;
  open_transaction_ = false;
  return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
}

void SqliteOutput::record(const Record& r) {
  // Everything read out of the record first: a fault there skips it and
  // leaves the database as it was.
  std::size_t file = valid_utf8(r.file, r.file_size, file_.get());
  std::size_t message = valid_utf8(r.dump_text, r.dump_text_size, message_.get());
  message += valid_utf8(r.text, r.text_size, message_.get() + message);
  std::size_t dumps = dumps_json(r.dump_bytes, r.dump_ends, r.dumps, dumps_.get());
  char iso[21];
  bool has_iso = iso_utc(r.time, iso);

  begin();
  sqlite3_stmt* s = insert_record_;
  auto text = [&](int column, const char* t, std::size_t n) {
    check(t ? sqlite3_bind_text(s, column, t, static_cast<int>(n), SQLITE_STATIC) : sqlite3_bind_null(s, column));
  };
  auto integer = [&](int column, sqlite3_int64 v) { check(sqlite3_bind_int64(s, column, v)); };
  integer(1, r.index);
  integer(2, r.time);
  text(3, has_iso ? iso : nullptr, 20);
  integer(4, r.stamp);
  integer(5, r.component);
  text(6, r.component_name, r.component_name ? std::strlen(r.component_name) : 0);
  integer(7, r.feature);
  text(8, r.feature_name, r.feature_name ? std::strlen(r.feature_name) : 0);
  integer(9, r.pid);
  integer(10, r.csvr);
  integer(11, r.thrd);
  integer(12, r.session);
  integer(13, as_signed(r.trans));
  integer(14, as_signed(r.rstcb));
  text(15, file_.get(), file);
  integer(16, r.line);
  text(17, message_.get(), message);
  text(18, dumps_.get(), dumps);
  step(s);
  // A ring written without pause never lets the walk poll: the second is
  // also looked at here.
  if (follow_) poll();
}

void SqliteOutput::insert_event(const char* kind, const std::int32_t* index, const char* skip,
                                const std::int32_t* from, const std::int32_t* to, const std::int32_t* pid,
                                std::size_t message_size, std::size_t dumps_size) {
  begin();
  sqlite3_stmt* s = insert_event_;
  check(sqlite3_bind_text(s, 1, kind, -1, SQLITE_STATIC));
  if (index) check(sqlite3_bind_int64(s, 2, *index));
  if (skip) check(sqlite3_bind_text(s, 3, skip, -1, SQLITE_STATIC));
  if (from) check(sqlite3_bind_int64(s, 4, *from));
  if (to) check(sqlite3_bind_int64(s, 5, *to));
  if (pid) check(sqlite3_bind_int64(s, 6, *pid));
  if (message_size) check(sqlite3_bind_text(s, 7, message_.get(), static_cast<int>(message_size), SQLITE_STATIC));
  if (dumps_size) check(sqlite3_bind_text(s, 8, dumps_.get(), static_cast<int>(dumps_size), SQLITE_STATIC));
  step(s);
}

void SqliteOutput::skipped(Message& m, std::int32_t index) {
  // As the JSON output's skipped line: what the record's hex dumps showed
  // before the fault, when it faulted while its message was expanded.
  std::size_t shown = m.open ? m.dump_size : 0;
  m.open = false;
  std::size_t message = 0, dumps = 0;
  if (shown > 0) {
    message = valid_utf8(m.dump_text, shown, message_.get());
    dumps = dumps_json(m.dump_bytes, m.dump_ends, m.dumps, dumps_.get());
  }
  insert_event("skipped", &index, nullptr, nullptr, nullptr, nullptr, message, dumps);
}

void SqliteOutput::overrun(const char* skip, std::int32_t from, std::int32_t to) {
  insert_event("overrun", nullptr, skip, &from, &to, nullptr, 0, 0);
}

void SqliteOutput::gone(std::int32_t pid) {
  insert_event("server_gone", nullptr, nullptr, nullptr, nullptr, &pid, 0, 0);
  if (!commit()) fail();
}

void SqliteOutput::poll() {
  if (open_transaction_ && now_ms() - begun_ms_ >= kCommitEveryMs && !commit()) fail();
}

bool SqliteOutput::finish() {
  if (!commit()) {
    std::fprintf(stderr, "kavrex-export: %s: %s\n", path_, sqlite3_errmsg(db_));
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  sqlite3_finalize(insert_record_);
  sqlite3_finalize(insert_event_);
  insert_record_ = insert_event_ = nullptr;
  sqlite3_close(db_);  // every statement is finalized: nothing keeps it open
  db_ = nullptr;
  return true;
}

}  // namespace kavrex_export
