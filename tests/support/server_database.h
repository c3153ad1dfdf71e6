// A database of its own on the throw-away server the tests share
// (scripts/pg-test-server, started by the ctest fixture server_start, which
// puts the server's URL in $VUVOROZO_TEST_SERVER). Each test gets a fresh
// database, so tests running at once never meet, and drops it when done.

#ifndef VUVOROZO_TESTS_SUPPORT_SERVER_DATABASE_H_
#define VUVOROZO_TESTS_SUPPORT_SERVER_DATABASE_H_

#include <cstdint>
#include <string>

namespace refhost {

class ServerDatabase {
 public:
  // Makes the database; url() is empty and error() says why when it could
  // not (no server: the test must fail saying so, never skip).
  ServerDatabase();
  ~ServerDatabase();
  ServerDatabase(const ServerDatabase&) = delete;
  ServerDatabase& operator=(const ServerDatabase&) = delete;

  const std::string& url() const { return url_; }
  // The first column of the first row sql gives in the database; -1 when
  // there is none.
  int64_t Query(const std::string& sql) const;
  // Runs body (PL/pgSQL over NEW, the row) before each row of events
  // ("INSERT OR UPDATE") on table, until DropTrigger: how a test has the
  // server refuse or hold a change.
  void AddTrigger(const std::string& name, const std::string& events,
                  const std::string& table, const std::string& body) const;
  void DropTrigger(const std::string& name, const std::string& table) const;
  // Waits (up to 30 s) until at most `live` sessions besides its own are
  // open on the database; false when more stay.
  bool AwaitSessions(int live) const;
  const std::string& error() const { return error_; }

 private:
  std::string server_;  // the server's own database
  std::string name_;
  std::string url_;
  std::string error_;
};

}  // namespace refhost

#endif  // VUVOROZO_TESTS_SUPPORT_SERVER_DATABASE_H_
