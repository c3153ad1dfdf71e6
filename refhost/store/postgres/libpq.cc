// The PostgreSQL client library, loaded the first time something asks for
// it rather than when the program starts. It brings some twenty libraries
// of its own (TLS, Kerberos, LDAP), which every run would otherwise map and
// relocate: about 3 ms of the 9 a short command takes here, for a library
// in a folder that never speaks to a server. The functions below stand in
// for those of libpq the program calls, and call them once it is loaded;
// where it cannot be, no connection is made and the message says why.

#include <dlfcn.h>
#include <libpq-fe.h>

#include <string>

namespace {

// clang-format off
#define VUVOROZO_LIBPQ_FUNCTIONS(X)                                        \
  X(PQclear) X(PQconnectdb) X(PQconninfoFree) X(PQconninfoParse)           \
  X(PQenterPipelineMode) X(PQerrorMessage) X(PQexecParams)                \
  X(PQexecPrepared) X(PQexitPipelineMode) X(PQfinish) X(PQfreemem)         \
  X(PQgetisnull) X(PQgetlength) X(PQgetResult) X(PQgetvalue)               \
  X(PQlibVersion) X(PQntuples) X(PQparameterStatus) X(PQpipelineSync)      \
  X(PQprepare) X(PQresultErrorField) X(PQresultErrorMessage)               \
  X(PQresultStatus) X(PQsendQueryPrepared) X(PQserverVersion)              \
  X(PQsetNoticeProcessor) X(PQstatus)
// clang-format on

struct Libpq {
#define VUVOROZO_LIBPQ_POINTER(name) decltype(&::name) name = nullptr;
  VUVOROZO_LIBPQ_FUNCTIONS(VUVOROZO_LIBPQ_POINTER)
#undef VUVOROZO_LIBPQ_POINTER
  std::string missing;  // why it could not be loaded
};

const Libpq& Loaded() {
  static const Libpq* loaded = [] {
    auto* pq = new Libpq();  // for the whole run, as the library is
    void* handle = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = dlerror();
      pq->missing = std::string(
                        "the PostgreSQL client library cannot be "
                        "loaded: ") +
                    (why != nullptr ? why : "libpq.so.5");
      return pq;
    }
#define VUVOROZO_LIBPQ_FIND(name)                                       \
  pq->name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name)); \
  if (pq->name == nullptr && pq->missing.empty()) {                     \
    pq->missing = "the PostgreSQL client library has no " #name;        \
  }
    VUVOROZO_LIBPQ_FUNCTIONS(VUVOROZO_LIBPQ_FIND)
#undef VUVOROZO_LIBPQ_FIND
    return pq;
  }();
  return *loaded;
}

bool Usable() { return Loaded().missing.empty(); }

}  // namespace

extern "C" {

// What makes a connection or parses its text: nothing without the library.
PGconn* PQconnectdb(const char* conninfo) {
  return Usable() ? Loaded().PQconnectdb(conninfo) : nullptr;
}
PQconninfoOption* PQconninfoParse(const char* conninfo, char** errmsg) {
  if (Usable()) return Loaded().PQconninfoParse(conninfo, errmsg);
  if (errmsg != nullptr) *errmsg = nullptr;
  return nullptr;
}
int PQlibVersion(void) { return Usable() ? Loaded().PQlibVersion() : 0; }
// Of no connection (the one PQconnectdb could not make), as libpq answers.
ConnStatusType PQstatus(const PGconn* conn) {
  return conn != nullptr ? Loaded().PQstatus(conn) : CONNECTION_BAD;
}
char* PQerrorMessage(const PGconn* conn) {
  if (conn != nullptr) return Loaded().PQerrorMessage(conn);
  static char no_memory[] = "out of memory";
  return Usable() ? no_memory : const_cast<char*>(Loaded().missing.c_str());
}
void PQfinish(PGconn* conn) {
  if (conn != nullptr) Loaded().PQfinish(conn);
}
void PQclear(PGresult* res) {
  if (res != nullptr) Loaded().PQclear(res);
}
void PQconninfoFree(PQconninfoOption* options) {
  if (options != nullptr) Loaded().PQconninfoFree(options);
}
void PQfreemem(void* ptr) {
  if (ptr != nullptr) Loaded().PQfreemem(ptr);
}

// The rest is only ever called with a connection or result libpq made.
PGresult* PQexecParams(PGconn* conn, const char* command, int nParams,
                       const Oid* paramTypes, const char* const* paramValues,
                       const int* paramLengths, const int* paramFormats,
                       int resultFormat) {
  return Loaded().PQexecParams(conn, command, nParams, paramTypes, paramValues,
                               paramLengths, paramFormats, resultFormat);
}
PGresult* PQexecPrepared(PGconn* conn, const char* stmtName, int nParams,
                         const char* const* paramValues,
                         const int* paramLengths, const int* paramFormats,
                         int resultFormat) {
  return Loaded().PQexecPrepared(conn, stmtName, nParams, paramValues,
                                 paramLengths, paramFormats, resultFormat);
}
int PQsendQueryPrepared(PGconn* conn, const char* stmtName, int nParams,
                        const char* const* paramValues, const int* paramLengths,
                        const int* paramFormats, int resultFormat) {
  return Loaded().PQsendQueryPrepared(conn, stmtName, nParams, paramValues,
                                      paramLengths, paramFormats, resultFormat);
}
PGresult* PQgetResult(PGconn* conn) { return Loaded().PQgetResult(conn); }
int PQenterPipelineMode(PGconn* conn) {
  return Loaded().PQenterPipelineMode(conn);
}
int PQexitPipelineMode(PGconn* conn) {
  return Loaded().PQexitPipelineMode(conn);
}
int PQpipelineSync(PGconn* conn) { return Loaded().PQpipelineSync(conn); }
PGresult* PQprepare(PGconn* conn, const char* stmtName, const char* query,
                    int nParams, const Oid* paramTypes) {
  return Loaded().PQprepare(conn, stmtName, query, nParams, paramTypes);
}
int PQgetisnull(const PGresult* res, int tup_num, int field_num) {
  return Loaded().PQgetisnull(res, tup_num, field_num);
}
int PQgetlength(const PGresult* res, int tup_num, int field_num) {
  return Loaded().PQgetlength(res, tup_num, field_num);
}
char* PQgetvalue(const PGresult* res, int tup_num, int field_num) {
  return Loaded().PQgetvalue(res, tup_num, field_num);
}
int PQntuples(const PGresult* res) { return Loaded().PQntuples(res); }
const char* PQparameterStatus(const PGconn* conn, const char* paramName) {
  return Loaded().PQparameterStatus(conn, paramName);
}
char* PQresultErrorField(const PGresult* res, int fieldcode) {
  return Loaded().PQresultErrorField(res, fieldcode);
}
char* PQresultErrorMessage(const PGresult* res) {
  return Loaded().PQresultErrorMessage(res);
}
ExecStatusType PQresultStatus(const PGresult* res) {
  return Loaded().PQresultStatus(res);
}
int PQserverVersion(const PGconn* conn) {
  return Loaded().PQserverVersion(conn);
}
PQnoticeProcessor PQsetNoticeProcessor(PGconn* conn, PQnoticeProcessor proc,
                                       void* arg) {
  return Loaded().PQsetNoticeProcessor(conn, proc, arg);
}

}  // extern "C"
