#include "support/server_database.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace refhost {
namespace {

// Runs sql on the database url names; empty when it worked, else why not.
std::string Run(const std::string& url, const std::string& sql) {
  PGconn* c = PQconnectdb(url.c_str());
  std::string error;
  if (PQstatus(c) != CONNECTION_OK) {
    error = PQerrorMessage(c);
  } else {
    PGresult* r = PQexec(c, sql.c_str());
    if (PQresultStatus(r) != PGRES_COMMAND_OK) error = PQerrorMessage(c);
    PQclear(r);
  }
  PQfinish(c);
  return error;
}

}  // namespace

ServerDatabase::ServerDatabase() {
  const char* server = std::getenv("VUVOROZO_TEST_SERVER");
  if (server == nullptr || *server == '\0') {
    error_ =
        "$VUVOROZO_TEST_SERVER is not set: run the test through ctest, whose "
        "fixture server_start starts the server (scripts/pg-test-server)";
    return;
  }
  server_ = server;
  static std::atomic<int> made{0};
  name_ = "test_" + std::to_string(getpid()) + "_" + std::to_string(++made);
  // The server's URL names its database as postgresql:///NAME?...
  size_t slash = server_.find('/', server_.find("://") + 3);
  size_t end = server_.find('?', slash);
  if (slash == std::string::npos) {
    error_ = server_ + ": no database in the URL";
    return;
  }
  error_ = Run(server_, "CREATE DATABASE " + name_);
  if (!error_.empty()) {
    error_ = server_ + ": " + error_;
    return;
  }
  url_ = server_.substr(0, slash + 1) + name_ +
         (end == std::string::npos ? "" : server_.substr(end));
}

int64_t ServerDatabase::Query(const std::string& sql) const {
  PGconn* c = PQconnectdb(url_.c_str());
  int64_t value = -1;
  PQsetNoticeProcessor(
      c, [](void*, const char*) {}, nullptr);
  if (PQstatus(c) == CONNECTION_OK) {
    PGresult* r = PQexec(c, sql.c_str());
    if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0 &&
        !PQgetisnull(r, 0, 0)) {
      value = std::strtoll(PQgetvalue(r, 0, 0), nullptr, 10);
    }
    PQclear(r);
  }
  PQfinish(c);
  return value;
}

void ServerDatabase::AddTrigger(const std::string& name,
                                const std::string& events,
                                const std::string& table,
                                const std::string& body) const {
  Query("CREATE FUNCTION public." + name +
        "() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN " + body +
        " RETURN NEW; END $$; CREATE TRIGGER " + name + " BEFORE " + events +
        " ON " + table + " FOR EACH ROW EXECUTE FUNCTION public." + name +
        "(); SELECT 1");
}

void ServerDatabase::DropTrigger(const std::string& name,
                                 const std::string& table) const {
  Query("DROP TRIGGER " + name + " ON " + table + "; DROP FUNCTION public." +
        name + "(); SELECT 1");
}

bool ServerDatabase::AwaitSessions(int live) const {
  for (int i = 0; i < 3000; ++i) {
    if (Query("SELECT count(*) FROM pg_stat_activity WHERE datname = "
              "current_database() AND pid <> pg_backend_pid()") <= live) {
      return true;
    }
    usleep(10000);
  }
  return false;
}

ServerDatabase::~ServerDatabase() {
  if (!url_.empty()) {
    Run(server_, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  }
}

}  // namespace refhost
