// Writes the folders the performance report imports and exports beside
// its peers: the same bytes on every run (a fixed pseudo-random sequence).
//
//   corpus text DIR    500 files of notes and tables, 100,000 lines,
//                      about 5.4 MB: prose lines of 20 to 90 characters
//                      (.txt) and every fifth file a table of sales (.csv)
//   corpus large DIR   2,000 small notes of 25 lines, and 20 logs of
//                      readings (.csv) of 5 MiB each
//   corpus lines N     N lines of notes on standard output (for the
//                      program's memory measure)

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* const kWords[] = {
    "meeting", "budget",   "north",   "south",    "report",  "project",
    "garden",  "weather",  "review",  "schedule", "morning", "evening",
    "supply",  "order",    "invoice", "library",  "council", "market",
    "river",   "bridge",   "station", "office",   "window",  "summer",
    "winter",  "notes",    "plan",    "team",     "visit",   "letter",
    "draft",   "final",    "update",  "question", "answer",  "travel",
    "lunch",   "delivery", "repair",  "payment",  "account", "table",
    "the",     "a",        "of",      "to",       "and",     "for",
    "with",    "on",       "in",      "after",    "before",  "next",
};
constexpr int kWordCount = sizeof kWords / sizeof kWords[0];
const char* const kRegions[] = {"north", "south", "east", "west", "centre"};
const char* const kGoods[] = {"widgets", "gadgets", "paper", "ink", "chairs"};

uint32_t seed = 12345;
uint32_t Next() {
  seed = seed * 1103515245u + 12345u;
  return seed >> 8;
}

std::string Prose() {
  size_t target = 20 + Next() % 71;
  std::string line;
  while (line.size() < target) {
    if (!line.empty()) line += ' ';
    line += kWords[Next() % kWordCount];
  }
  line[0] = (char)(line[0] - 'a' + 'A');
  return line + ".\n";
}

std::string Sale(int day) {
  char line[96];
  std::snprintf(line, sizeof line, "2024-%02d-%02d,%s,%s,%u,%u.%02u\n",
                1 + day / 28 % 12, 1 + day % 28, kRegions[Next() % 5],
                kGoods[Next() % 5], 1 + Next() % 500, Next() % 100,
                Next() % 100);
  return line;
}

std::string Reading(int station, long minute, int* level) {
  *level += (int)(Next() % 3) - 1;
  char line[96];
  std::snprintf(line, sizeof line,
                "2024-03-%02ld %02ld:%02ld,station-%02d,level,%d.%d,ok\n",
                1 + minute / 1440 % 28, minute / 60 % 24, minute % 60, station,
                200 + *level / 10, (*level % 10 + 10) % 10);
  return line;
}

FILE* Create(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::perror(path.c_str());
    std::exit(1);
  }
  return f;
}

void Text(const std::string& dir) {
  const int kFiles = 500;
  const int kLines = 100000;
  int written = 0;
  for (int i = 0; i < kFiles; ++i) {
    int lines = i == kFiles - 1 ? kLines - written : 50 + (i * 7919) % 301;
    if (written + lines > kLines) lines = kLines - written;
    char name[64];
    bool table = i % 5 == 4;
    std::snprintf(name, sizeof name, "/%s-%03d.%s", table ? "sales" : "note", i,
                  table ? "csv" : "txt");
    FILE* f = Create(dir + name);
    for (int n = 0; n < lines; ++n) {
      std::string line = table ? Sale(n) : Prose();
      std::fwrite(line.data(), 1, line.size(), f);
    }
    std::fclose(f);
    written += lines;
  }
}

void Large(const std::string& dir) {
  for (int i = 0; i < 2000; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/memo-%04d.txt", i);
    FILE* f = Create(dir + name);
    for (int n = 0; n < 25; ++n) {
      std::string line = Prose();
      std::fwrite(line.data(), 1, line.size(), f);
    }
    std::fclose(f);
  }
  for (int i = 0; i < 20; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/readings-%02d.csv", i);
    FILE* f = Create(dir + name);
    long size = 0;
    int level = 0;
    for (long minute = 0; size < 5L * 1024 * 1024; ++minute) {
      std::string line = Reading(i, minute, &level);
      std::fwrite(line.data(), 1, line.size(), f);
      size += (long)line.size();
    }
    std::fclose(f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "text") == 0) {
    Text(argv[2]);
  } else if (argc == 3 && std::strcmp(argv[1], "large") == 0) {
    Large(argv[2]);
  } else if (argc == 3 && std::strcmp(argv[1], "lines") == 0) {
    long long n = std::atoll(argv[2]);
    for (long long i = 0; i < n; ++i) {
      std::string line = Prose();
      std::fwrite(line.data(), 1, line.size(), stdout);
    }
  } else {
    std::fprintf(stderr, "usage: corpus text|large DIR, corpus lines N\n");
    return 2;
  }
  return 0;
}
