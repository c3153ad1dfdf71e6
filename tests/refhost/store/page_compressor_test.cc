// The compressor that pages are handed to beside their writer: pages come
// back in the order they were handed, each frame reads as its content with
// the dictionary it names, dropping takes the newest, and a child of a
// fork never waits on the parent's threads.

#include "refhost/store/paged/page_compressor.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "refhost/store/paged/record_page.h"

namespace refhost {
namespace {

// Notes of a few lines, different enough from one another that each
// compresses to a frame of its own.
std::string Note(int i) {
  std::string text;
  for (int line = 0; line < 3 + i % 40; ++line) {
    text += "note " + std::to_string(i) + " line " + std::to_string(line) +
            ": sales of the north region rose by " +
            std::to_string((i * 7 + line) % 97) + " percent\n";
  }
  return text;
}

std::shared_ptr<PageDictionary> NotesDictionary() {
  std::vector<std::string> samples;
  for (int i = 0; i < 200; ++i) samples.push_back(Note(i));
  std::string bytes, why;
  std::string joined;
  for (const std::string& s : samples) joined += s;
  EXPECT_TRUE(MakeDictionary(DictionaryIdFor(joined, 0), samples, {}, false,
                             8 << 10, &bytes, &why))
      << why;
  auto dictionary = std::make_shared<PageDictionary>(bytes);
  EXPECT_TRUE(dictionary->ok());
  return dictionary;
}

// The frame decompressed through the dictionary it names.
std::string Read(const std::string& frame,
                 const std::shared_ptr<PageDictionary>& dictionary) {
  PageCodec codec;
  std::string why;
  DictionaryFinder finder = [&](uint32_t id, PageDictionary** found,
                                std::string* reason) {
    if (dictionary == nullptr || id != dictionary->id()) {
      *reason = "unknown dictionary";
      return false;
    }
    *found = dictionary.get();
    return true;
  };
  if (!codec.Decompress(frame.data(), frame.size(), 1 << 20, finder, &why)) {
    return "unreadable: " + why;
  }
  return codec.content();
}

TEST(PageCompressorTest, PagesComeBackInOrderAndReadAsTheirContent) {
  auto dictionary = NotesDictionary();
  PageCompressor compressor(2);
  constexpr int kPages = 300;
  for (int i = 0; i < kPages; ++i) {
    compressor.Hand(Note(i), i % 3 == 0 ? nullptr : dictionary,
                    PageLevel{1 + i % 6, i % 2 == 0 ? 0 : 2});
  }
  EXPECT_EQ(compressor.pending(), (size_t)kPages);
  for (int i = 0; i < kPages; ++i) {
    std::string content, frame, why;
    std::shared_ptr<PageDictionary> used;
    ASSERT_TRUE(compressor.Take(&content, &frame, &used, &why)) << why;
    EXPECT_EQ(content, Note(i));
    EXPECT_EQ(used, i % 3 == 0 ? nullptr : dictionary) << i;
    EXPECT_EQ(DictionaryOf(frame.data(), frame.size()),
              used != nullptr ? dictionary->id() : 0u)
        << i;
    EXPECT_EQ(Read(frame, used), content) << i;
  }
  EXPECT_EQ(compressor.pending(), 0u);
  std::string content, frame, why;
  std::shared_ptr<PageDictionary> used;
  EXPECT_FALSE(compressor.Take(&content, &frame, &used, &why));
}

TEST(PageCompressorTest, DroppingTakesTheNewestPages) {
  PageCompressor compressor(2);
  for (int i = 0; i < 10; ++i)
    compressor.Hand(Note(i), nullptr, PageLevel{3, 0});
  compressor.Drop(4);
  EXPECT_EQ(compressor.pending(), 6u);
  compressor.Hand(Note(100), nullptr, PageLevel{3, 0});
  std::vector<std::string> back;
  while (compressor.pending() > 0) {
    std::string content, frame, why;
    std::shared_ptr<PageDictionary> used;
    ASSERT_TRUE(compressor.Take(&content, &frame, &used, &why)) << why;
    EXPECT_EQ(Read(frame, nullptr), content);
    back.push_back(content);
  }
  std::vector<std::string> expected;
  for (int i : {0, 1, 2, 3, 4, 5, 100}) expected.push_back(Note(i));
  EXPECT_EQ(back, expected);
  // Dropping everything, with pages still being compressed, and going on.
  for (int i = 0; i < 50; ++i)
    compressor.Hand(Note(i), nullptr, PageLevel{19, 0});
  compressor.Drop();
  EXPECT_EQ(compressor.pending(), 0u);
  compressor.Hand(Note(7), nullptr, PageLevel{1, 0});
  std::string content, frame, why;
  std::shared_ptr<PageDictionary> used;
  ASSERT_TRUE(compressor.Take(&content, &frame, &used, &why)) << why;
  EXPECT_EQ(content, Note(7));
}

// A compressor that goes with pages in hand ends at once; in a child of a
// fork it is not usable, and dropping it there never waits for the
// parent's threads, which go on serving the parent.
TEST(PageCompressorTest, AChildOfAForkLeavesTheParentsThreadsBe) {
  {
    PageCompressor going(2);
    for (int i = 0; i < 100; ++i)
      going.Hand(Note(i), nullptr, PageLevel{19, 0});
  }
  auto compressor = std::make_unique<PageCompressor>(2);
  for (int i = 0; i < 40; ++i)
    compressor->Hand(Note(i), nullptr, PageLevel{19, 0});
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool usable = compressor->Usable();
    compressor.reset();
    _exit(usable ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(compressor->Usable());
  for (int i = 0; i < 40; ++i) {
    std::string content, frame, why;
    std::shared_ptr<PageDictionary> used;
    ASSERT_TRUE(compressor->Take(&content, &frame, &used, &why)) << why;
    EXPECT_EQ(content, Note(i));
  }
}

}  // namespace
}  // namespace refhost
