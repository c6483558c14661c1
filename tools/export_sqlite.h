// export_sqlite.h -- kavrex-export's second output: the records of a walk
// as rows of table `records`, and its other events (overruns, skipped
// records, the server's end) as rows of table `events`, in an SQLite
// database file. The tables are made when missing and appended to
// otherwise; a one-pass walk goes in as one transaction, a followed ring in
// one transaction per second.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct sqlite3;
struct sqlite3_stmt;

namespace kavrex_export {

struct Message;
struct Record;

class SqliteOutput {
 public:
  SqliteOutput();
  ~SqliteOutput();
  SqliteOutput(const SqliteOutput&) = delete;
  SqliteOutput& operator=(const SqliteOutput&) = delete;

  // Opens the database file `path` (made when missing) and its tables;
  // with `follow`, what is written is committed once a second. False after
  // "kavrex-export: PATH: <the library's message>" on standard error.
  bool open(const char* path, bool follow);

  // The rows. A failure from here on is that message, the open transaction
  // rolled back, and the end of the program with status 1.
  void record(const Record& record);
  // The record at `index` was not handed on; what its hex dumps showed
  // before the fault, as `message` kept it, goes with it.
  void skipped(Message& message, std::int32_t index);
  void overrun(const char* skip, std::int32_t from, std::int32_t to);
  // Also commits: the program ends right after.
  void gone(std::int32_t pid);

  // At each poll of a followed ring: commits once the open transaction has
  // lasted a second.
  void poll();
  // Commits what is open and closes the database; false after the message.
  bool finish();

 private:
  void insert_event(const char* kind, const std::int32_t* index, const char* skip, const std::int32_t* from,
                    const std::int32_t* to, const std::int32_t* pid, std::size_t message_size,
                    std::size_t dumps_size);
  void begin();
  bool commit();
  void step(sqlite3_stmt* statement);
  void check(int code);
  [[noreturn]] void fail();

  const char* path_ = nullptr;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_record_ = nullptr;
  sqlite3_stmt* insert_event_ = nullptr;
  bool follow_ = false;
  bool open_transaction_ = false;
  std::int64_t begun_ms_ = 0;  // monotonic time of the open transaction's BEGIN
  // A row's text, made valid UTF-8 in buffers of this object before any
  // call into the library: reading the record may fault, and a fault must
  // never jump out of the library half way through a call.
  std::unique_ptr<char[]> file_, message_, dumps_;
};

}  // namespace kavrex_export
