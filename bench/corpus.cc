// Writes the folders the performance report imports and exports beside
// its peers: the same bytes on every run (a fixed pseudo-random sequence).
//
//   corpus text DIR    500 files of notes and tables, 100,000 lines,
//                      about 5.4 MB: prose lines of 20 to 90 characters
//                      (.txt) and every fifth file a table of sales (.csv)
//   corpus large DIR   2,000 small notes of 25 lines, and 20 logs of
//                      readings (.csv) of 5 MiB each
//   corpus small DIR [N]  N (default 10,000) small files of 100 bytes to
//                      3 KB: notes (.txt), rows of a table (.csv) and
//                      snippets of web pages (.html), one in three each
//   corpus big DIR     20 text files of 1 MiB: notes, tables of sales and
//                      logs of readings in turn
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

// A 64-bit linear congruential generator, of which only the high bits are
// used: the low bits of such a generator repeat after a few thousand
// numbers, and text made from them would repeat itself, which no person's
// files do and which compressors with a long window would find.
uint64_t seed = 12345;
uint32_t Next() {
  seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
  return (uint32_t)(seed >> 33);
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

const char* const kPlaces[] = {"Hall",   "Library", "Market", "Station",
                               "Garden", "Office",  "Bridge", "Council"};

// A snippet of a web page of about target bytes.
std::string Snippet(size_t target) {
  std::string page = "<div class=\"notice\">\n<h2>";
  page += kPlaces[Next() % 8];
  page += " notice</h2>\n<ul>\n";
  while (page.size() + 20 < target) {
    std::string item = Prose();
    item.pop_back();
    page += "  <li>" + item + "</li>\n";
  }
  return page + "</ul>\n</div>\n";
}

void Small(const std::string& dir, int files) {
  for (int i = 0; i < files; ++i) {
    size_t target = 100 + Next() % 2901;
    char name[64];
    std::string body;
    switch (i % 3) {
      case 0:
        std::snprintf(name, sizeof name, "/note-%05d.txt", i);
        while (body.size() < target) body += Prose();
        break;
      case 1:
        std::snprintf(name, sizeof name, "/rows-%05d.csv", i);
        body = "date,region,goods,quantity,price\n";
        for (int day = (int)(Next() % 300); body.size() < target; ++day) {
          body += Sale(day);
        }
        break;
      default:
        std::snprintf(name, sizeof name, "/notice-%05d.html", i);
        body = Snippet(target);
        break;
    }
    FILE* f = Create(dir + name);
    std::fwrite(body.data(), 1, body.size(), f);
    std::fclose(f);
  }
}

void Big(const std::string& dir) {
  for (int i = 0; i < 20; ++i) {
    char name[64];
    const char* kinds[] = {"notes", "sales", "readings"};
    std::snprintf(name, sizeof name, "/%s-%02d.%s", kinds[i % 3], i,
                  i % 3 == 0 ? "txt" : "csv");
    FILE* f = Create(dir + name);
    long size = 0;
    int level = 0;
    for (long n = 0; size < 1024L * 1024; ++n) {
      std::string line = i % 3 == 0   ? Prose()
                         : i % 3 == 1 ? Sale((int)n)
                                      : Reading(i, n, &level);
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
  } else if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "small") == 0) {
    Small(argv[2], argc == 4 ? std::atoi(argv[3]) : 10000);
  } else if (argc == 3 && std::strcmp(argv[1], "big") == 0) {
    Big(argv[2]);
  } else if (argc == 3 && std::strcmp(argv[1], "lines") == 0) {
    long long n = std::atoll(argv[2]);
    for (long long i = 0; i < n; ++i) {
      std::string line = Prose();
      std::fwrite(line.data(), 1, line.size(), stdout);
    }
  } else {
    std::fprintf(stderr,
                 "usage: corpus text|large|big DIR, corpus small DIR [N], "
                 "corpus lines N\n");
    return 2;
  }
  return 0;
}
