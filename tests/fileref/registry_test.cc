// The fileref registry as the host sees it: assignment, the walk, lookup,
// deassignment, assignment like another fileref, and who releases an option
// block when.

#include <cstring>
#include <string>
#include <vector>

#include "fileref/fileref.h"
#include "support/module_fixture.h"

namespace {

class RegistryTest : public ModuleTest {
 protected:
  // The node of fileref, or null.
  fileref_node* Node(std::string_view fileref) {
    std::string name = Name8(fileref);
    fileref_node* node = nullptr;
    if (yxlzl2l(name.data(), nullptr, &node, 0) != 0) return nullptr;
    return node;
  }

  // Names of a whole walk, newest first.
  std::vector<std::string> Walk() {
    std::vector<std::string> names;
    fileref_node* cursor = nullptr;
    char name[8];
    const char* display = nullptr;
    int32_t length = 0;
    while (slots().NextFileref(&cursor, name, 0, &display, &length) == 0) {
      names.emplace_back(name, 8);
    }
    EXPECT_EQ(cursor, nullptr);
    return names;
  }

  int32_t AssignLike(std::string_view fileref, std::string_view like,
                     const char* member, int32_t member_length,
                     option_block* options = nullptr) {
    std::string name = Name8(fileref);
    return slots().AssignLike(name.data(), 0, "VUVOROZO", like.data(),
                              static_cast<int32_t>(like.size()), member,
                              member_length, options);
  }

  int32_t Deassign(std::string_view fileref) {
    std::string name = Name8(fileref);
    return slots().Deassign(name.data(), 0);
  }

  bool Live(const void* block) { return host().module_arena().IsLive(block); }

  static std::string Display(const fileref_node* n) {
    return std::string(n->display_name, n->display_name_length);
  }
  static std::string Physical(const fileref_node* n) {
    return std::string(n->physical_name, n->physical_name_length);
  }
};

TEST_F(RegistryTest, WalkYieldsNewestFirstThenEndOfList) {
  fileref_node* cursor = nullptr;
  char name[8];
  const char* display = nullptr;
  int32_t length = -1;
  EXPECT_EQ(slots().NextFileref(&cursor, name, 0, &display, &length), 0x802);
  EXPECT_EQ(length, -1) << "outputs are not written at the end";

  ASSERT_EQ(Assign("A", "LIB.CAT.ONE.LOG"), 0);
  ASSERT_EQ(Assign("B", "LIB.CAT"), 0);
  EXPECT_EQ(Walk(), (std::vector<std::string>{"B       ", "A       "}));

  // The walk hands out the node's own display name.
  ASSERT_EQ(slots().NextFileref(&cursor, name, 0, &display, &length), 0);
  EXPECT_EQ(display, Node("B")->display_name);
  EXPECT_EQ(std::string(display, length), "..LIB.CAT");

  // Re-assignment keeps the node, its place and its open count.
  fileref_node* a = Node("A");
  fileref_opened(a);
  ASSERT_EQ(Assign("A", "LIB.CAT.TWO"), 0);
  EXPECT_EQ(Node("A"), a);
  EXPECT_EQ(a->open_count, 1);
  EXPECT_EQ(Display(a), "LIB.CAT.TWO.");
  EXPECT_EQ(Walk(), (std::vector<std::string>{"B       ", "A       "}));
  fileref_closed(a);
  EXPECT_EQ(Deassign("A"), 0);
  EXPECT_EQ(Deassign("B"), 0);
}

TEST_F(RegistryTest, LookupUpperCasesTheKeyButNotTheStoredName) {
  ASSERT_EQ(Assign("upper", "LIB.CAT.E"), 0);
  // Stored as the caller's buffer held it: no lookup finds it.
  EXPECT_EQ(slots().FilerefExists("upper   ", 0), (int32_t)0x80001004);
  EXPECT_EQ(slots().FilerefExists("UPPER   ", 0), (int32_t)0x80001004);
  ASSERT_EQ(Assign("upper", "LIB.CAT.E"), 0);
  EXPECT_EQ(Walk().size(), 2u) << "a lower-case name is never found again";

  ASSERT_EQ(Assign("MINE", "LIB.CAT.E"), 0);
  EXPECT_EQ(slots().FilerefExists("mine    ", 0), 0);
  EXPECT_EQ(Deassign("mine"), 0);
  EXPECT_EQ(slots().FilerefExists("MINE    ", 0), (int32_t)0x80001004);
  AllowLiveBlocks(2);  // the two lower-case nodes cannot be deassigned
}

namespace {
int unique_calls = 0;
int32_t RefusingUnique(char*, int32_t) {
  ++unique_calls;
  return (int32_t)0x8001F0AA;
}
}  // namespace

TEST_F(RegistryTest, BlankNamesGoThroughTheHostNameCheck) {
  char blank[8];
  std::memset(blank, ' ', 8);
  ASSERT_EQ(slots().Assign(blank, 0, "VUVOROZO", "L.C.E", 5, nullptr), 0);
  EXPECT_NE(std::string(blank, 8), "        ") << "the host named it";
  EXPECT_EQ(Walk(), (std::vector<std::string>{std::string(blank, 8)}));

  unique_calls = 0;
  {
    ScopedService refuse(host(), yxaunql_service, &RefusingUnique);
    ASSERT_EQ(Assign("NAMED", "L.C.E"), 0);
    EXPECT_EQ(unique_calls, 0);
    std::memset(blank, ' ', 8);
    EXPECT_EQ(slots().Assign(blank, 0, "VUVOROZO", "L.C.E", 5, nullptr),
              (int32_t)0x8001F0AA);
    EXPECT_EQ(unique_calls, 1);
    EXPECT_EQ(Walk().size(), 2u) << "the refused node was released";
  }
  for (const std::string& n : Walk()) EXPECT_EQ(Deassign(n), 0);
}

// The host's unique names skip the ones a user assigned himself, so a blank
// name never makes a second node under an assigned name.
TEST_F(RegistryTest, BlankNameNeverTakesAnAssignedName) {
  ASSERT_EQ(Assign("#LN00001", "L.C.E"), 0);
  char blank[8];
  std::memset(blank, ' ', 8);
  ASSERT_EQ(slots().Assign(blank, 0, "VUVOROZO", "L.C.F", 5, nullptr), 0);
  EXPECT_NE(std::string(blank, 8), "#LN00001");
  ASSERT_EQ(Deassign("#LN00001"), 0);
  EXPECT_EQ(slots().FilerefExists("#LN00001", 0), kStatusNotAssigned);
  EXPECT_EQ(Walk(), (std::vector<std::string>{std::string(blank, 8)}));
  EXPECT_EQ(Deassign(std::string(blank, 8)), 0);
}

// A host may walk the filerefs through slot 6 from inside yxaunql, which is
// how it learns the names taken: the walk meets every fileref assigned
// before, and not the one being assigned, by either assignment.
refhost::Slots* g_slots = nullptr;
std::vector<std::string> g_walked;
int32_t WalkingUnique(char* fileref, int32_t token) {
  g_walked.clear();
  fileref_node* cursor = nullptr;
  char name[8];
  while (g_slots->NextFileref(&cursor, name, token, nullptr, nullptr) == 0) {
    g_walked.emplace_back(name, 8);
  }
  std::memcpy(fileref, g_walked.empty() ? "#FIRST  " : "#NEXT   ", 8);
  return 0;
}

TEST_F(RegistryTest, UniqueNameServiceMayWalkTheFilerefsAssignedBefore) {
  g_slots = &slots();
  ScopedService walking(host(), yxaunql_service, &WalkingUnique);
  char blank[8];
  std::memset(blank, ' ', 8);
  ASSERT_EQ(slots().Assign(blank, 7, "VUVOROZO", "L.C", 3, nullptr), 0);
  EXPECT_TRUE(g_walked.empty());
  ASSERT_EQ(Assign("A", "L.C.E"), 0);
  std::memset(blank, ' ', 8);
  ASSERT_EQ(
      slots().AssignLike(blank, 7, "VUVOROZO", "#FIRST", 6, "M", 1, nullptr),
      0);
  EXPECT_EQ(g_walked, (std::vector<std::string>{"A       ", "#FIRST  "}));
  EXPECT_EQ(Walk(),
            (std::vector<std::string>{"#NEXT   ", "A       ", "#FIRST  "}));
  for (const std::string& n : Walk()) EXPECT_EQ(Deassign(n), 0);
}

TEST_F(RegistryTest, NodeKeepsFortyCharactersButSplitsTheWholeName) {
  // 50 characters in four levels.
  std::string name = "LIBRARY1.CATALOGNAME00000000000.ENTRY00000.SOURCE";
  ASSERT_EQ(name.size(), 49u);
  name += "S";
  ASSERT_EQ(Assign("LONG", name), 0);
  fileref_node* n = Node("LONG");
  EXPECT_EQ(n->levels, 4);
  EXPECT_EQ(n->parts[3].length, 7);
  EXPECT_EQ(Physical(n), name.substr(0, 40));
  EXPECT_EQ(Display(n), name);

  // Parts of 32 characters join to more than 90: cut at 90.
  std::string p(32, 'X');
  ASSERT_EQ(Assign("WIDE", p + "." + p + "." + p + "." + p), 0);
  EXPECT_EQ(Node("WIDE")->display_name_length, 90);
  EXPECT_EQ(Display(Node("WIDE")),
            (p + "." + p + "." + p + "." + p).substr(0, 90));

  // A negative length names nothing.
  ASSERT_EQ(slots().Assign("NEG     ", 0, "VUVOROZO", "L.C.E", -5, nullptr), 0);
  EXPECT_EQ(Node("NEG")->levels, 0);
  EXPECT_EQ(Node("NEG")->physical_name_length, 0);
  EXPECT_EQ(Display(Node("NEG")), "...");
  for (auto f : {"LONG", "WIDE", "NEG"}) EXPECT_EQ(Deassign(f), 0);
}

TEST_F(RegistryTest, DeassignUnlinksAndLeavesOthersInPlace) {
  EXPECT_EQ(Deassign("NONE"), (int32_t)0x80001004);
  ASSERT_EQ(Assign("A", "L.C.A"), 0);
  ASSERT_EQ(Assign("B", "L.C.B"), 0);
  ASSERT_EQ(Assign("C", "L.C.C"), 0);
  EXPECT_EQ(Deassign("NONE"), (int32_t)0x80001004);
  EXPECT_EQ(Deassign("B"), 0);
  EXPECT_EQ(Walk(), (std::vector<std::string>{"C       ", "A       "}));
  EXPECT_EQ(Deassign("C"), 0);
  EXPECT_EQ(amec()->fileref_list, Node("A"));
  EXPECT_EQ(Deassign("A"), 0);
  EXPECT_EQ(amec()->fileref_list, nullptr);
}

TEST_F(RegistryTest, DeassignWithOpenHandlesDetachesTheNode) {
  option_block* options = Options("LRECL=80");
  ASSERT_EQ(Assign("OPEN", "L.C.E", options), 0);
  fileref_node* node = Node("OPEN");
  fileref_opened(node);
  fileref_opened(node);
  EXPECT_EQ(Deassign("OPEN"), 0);
  EXPECT_EQ(slots().FilerefExists("OPEN    ", 0), (int32_t)0x80001004);
  EXPECT_TRUE(Live(node)) << "open handles still reach it";
  EXPECT_FALSE(Live(options)) << "its option block goes as usual";
  EXPECT_EQ(node->amec, nullptr);
  EXPECT_EQ(node->options, nullptr);

  // A new assignment of the name is a new node.
  ASSERT_EQ(Assign("OPEN", "L.C.F"), 0);
  EXPECT_NE(Node("OPEN"), node);
  fileref_closed(node);
  EXPECT_TRUE(Live(node));
  fileref_closed(node);
  EXPECT_FALSE(Live(node)) << "the last close releases it";
  EXPECT_EQ(Deassign("OPEN"), 0);
}

TEST_F(RegistryTest, AssignLikeAnUnassignedFilerefChangesNothing) {
  EXPECT_EQ(AssignLike("NEW", "missing", nullptr, 0), (int32_t)0x80001004);
  EXPECT_EQ(host().substitutions(), (std::vector<std::string>{"missing"}));
  EXPECT_TRUE(Walk().empty());
}

TEST_F(RegistryTest, AssignLikeAppendsTheMemberWithinFortyCharacters) {
  ASSERT_EQ(Assign("DIR7", "LIB.CAT"), 0);  // 7 characters
  ASSERT_EQ(AssignLike("M1", "dir7    more", "MEMBER", 6), 0)
      << "only the first 8 characters of the like name count";
  fileref_node* m1 = Node("M1");
  EXPECT_EQ(Physical(m1), "LIB.CAT.MEMBER");
  EXPECT_EQ(m1->levels, 3);
  EXPECT_EQ(Display(m1), "LIB.CAT.MEMBER.");

  ASSERT_EQ(AssignLike("M0", "DIR7", "", 0), 0);
  EXPECT_EQ(Physical(Node("M0")), "LIB.CAT.");

  std::string lib38 = "LIBRA." + std::string(32, 'C');
  ASSERT_EQ(Assign("DIR38", lib38), 0);
  ASSERT_EQ(AssignLike("M2", "DIR38", "ENTRY", 5), 0);
  EXPECT_EQ(Physical(Node("M2")), lib38 + ".E");
  EXPECT_EQ(Node("M2")->levels, 3);

  std::string lib40 = "LIBRARY." + std::string(32, 'C');
  ASSERT_EQ(Assign("DIR40", lib40), 0);
  ASSERT_EQ(AssignLike("M3", "DIR40", "ENTRY", 5), 0);
  EXPECT_EQ(Physical(Node("M3")), lib40);
  EXPECT_EQ(Node("M3")->levels, 2);

  // Member lengths that the text cannot back are capped at the field.
  ASSERT_EQ(AssignLike("M4", "DIR7", "ENTRY", -3), 0);
  EXPECT_EQ(Physical(Node("M4")), "LIB.CAT.");
  std::string big(100, 'Z');
  ASSERT_EQ(AssignLike("M5", "DIR7", big.data(), 0x7FFFFFFF), 0);
  EXPECT_EQ(Physical(Node("M5")), "LIB.CAT." + std::string(32, 'Z'));
  EXPECT_EQ(Node("M5")->physical_name_length, 40);

  for (auto f : {"DIR7", "M1", "M0", "DIR38", "M2", "DIR40", "M3", "M4", "M5"})
    EXPECT_EQ(Deassign(f), 0) << f;
}

TEST_F(RegistryTest, AssignLikeRefusesAMemberOfAnEntryFileref) {
  ASSERT_EQ(Assign("ENTRY", "LIB.CAT.E1.LOG"), 0);
  EXPECT_EQ(AssignLike("M", "ENTRY", "X", 1), (int32_t)0x80000805);
  ASSERT_EQ(host().substitutions().size(), 1u);
  EXPECT_EQ(host().substitutions()[0],
            refhost::Host::MessageText(566, 48) + std::string(1, '\0'));
  // The node made so far stays, with the like fileref's names: the new
  // fileref is assigned, and holds its node until it is deassigned.
  fileref_node* m = Node("M");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->levels, 0);
  EXPECT_EQ(Physical(m), "LIB.CAT.E1.LOG");
  EXPECT_EQ(slots().FilerefExists(Name8("M").data(), 0), 0);
  EXPECT_EQ(Walk(), (std::vector<std::string>{Name8("M"), Name8("ENTRY")}));
  EXPECT_EQ(LiveModuleBlocks(), 2);

  // The option block of a refused call is not taken: it stays the host's.
  option_block* block = Options("LRECL=9");
  EXPECT_EQ(AssignLike("M", "ENTRY", "X", 1, block), (int32_t)0x80000805);
  EXPECT_EQ(Node("M")->options, nullptr);
  EXPECT_EQ(slots().ReleaseOptions(Name8("M").data(), 0, block), 0);

  EXPECT_EQ(Deassign("M"), 0);
  EXPECT_EQ(Deassign("ENTRY"), 0);
}

TEST_F(RegistryTest, SharedOptionBlockIsReleasedOnceByTheLastHolder) {
  option_block* options = Options("RECFM=F");
  ASSERT_EQ(Assign("DIR", "LIB.CAT", options), 0);
  ASSERT_EQ(AssignLike("M", "DIR", "E", 1), 0);
  EXPECT_EQ(Node("M")->options, options);
  EXPECT_EQ(Deassign("DIR"), 0);
  EXPECT_TRUE(Live(options)) << "M still refers to it";
  EXPECT_EQ(Node("M")->options, options);
  EXPECT_EQ(Deassign("M"), 0);
  EXPECT_FALSE(Live(options));

  // Re-assignment of a sharer with a block of its own lets go without
  // releasing; the other holder keeps it.
  options = Options("RECFM=V");
  option_block* own = Options("LRECL=10");
  ASSERT_EQ(Assign("DIR", "LIB.CAT", options), 0);
  ASSERT_EQ(AssignLike("M", "DIR", nullptr, 0), 0);
  ASSERT_EQ(Assign("M", "LIB.CAT.E", own), 0);
  EXPECT_TRUE(Live(options));
  EXPECT_EQ(Node("DIR")->options, options);
  EXPECT_EQ(Deassign("M"), 0);
  EXPECT_FALSE(Live(own));
  EXPECT_EQ(Deassign("DIR"), 0);
  EXPECT_FALSE(Live(options));
}

TEST_F(RegistryTest, ReassignmentWithTheBlockItHoldsKeepsIt) {
  option_block* options = Options("MOD");
  ASSERT_EQ(Assign("A", "L.C.E", options), 0);
  ASSERT_EQ(Assign("A", "L.C.F", options), 0);
  EXPECT_TRUE(Live(options));
  EXPECT_EQ(Node("A")->options, options);
  // Assigned like itself without a block: the node keeps its own.
  ASSERT_EQ(AssignLike("A", "A", nullptr, 0), 0);
  EXPECT_TRUE(Live(options));
  EXPECT_EQ(Node("A")->options, options);
  // A different block releases the old one.
  option_block* other = Options("ATTR");
  ASSERT_EQ(Assign("A", "L.C.E", other), 0);
  EXPECT_FALSE(Live(options));
  EXPECT_EQ(Node("A")->requests.option_flags_copy, 0);
  EXPECT_EQ(Deassign("A"), 0);
  EXPECT_FALSE(Live(other));
}

TEST_F(RegistryTest, KeptBlocksBelongToTheHost) {
  option_block* kept = Options("LRECL=5", kOptionKeep);
  ASSERT_EQ(kept->option_flags, kOptionKeep);
  ASSERT_EQ(Assign("A", "L.C.E", kept), 0);
  EXPECT_EQ(Node("A")->requests.option_flags_copy, kOptionKeep);
  ASSERT_EQ(Assign("A", "L.C.E", nullptr), 0);
  EXPECT_TRUE(Live(kept));
  ASSERT_EQ(Assign("A", "L.C.E", kept), 0);
  EXPECT_EQ(Deassign("A"), 0);
  EXPECT_TRUE(Live(kept));
  EXPECT_EQ(slots().ReleaseOptions("A       ", 0, kept), 0);
  EXPECT_FALSE(Live(kept));
}

TEST_F(RegistryTest, ReleaseThroughTheSlotLeavesNoNodePointingAtIt) {
  option_block* options = Options("DESC='shared'");
  ASSERT_EQ(Assign("DIR", "LIB.CAT", options), 0);
  ASSERT_EQ(AssignLike("M", "DIR", "E", 1), 0);
  ASSERT_EQ(AssignLike("N", "DIR", "F", 1), 0);
  // Named by one fileref, held by three.
  EXPECT_EQ(slots().ReleaseOptions("M       ", 0, options), 0);
  EXPECT_FALSE(Live(options));
  for (auto f : {"DIR", "M", "N"}) {
    EXPECT_EQ(Node(f)->options, nullptr) << f;
    EXPECT_EQ(Deassign(f), 0);
  }
  // A block no node holds, or a fileref that is not assigned.
  option_block* loose = Options("ATTR");
  EXPECT_EQ(slots().ReleaseOptions("NONE    ", 0, loose), 0);
  EXPECT_FALSE(Live(loose));
  EXPECT_EQ(slots().ReleaseOptions("NONE    ", 0, nullptr), 0);
}

namespace {
int32_t NoAccessMethod(const char*, void**, int32_t) {
  return (int32_t)0x8001F002;
}
int32_t NullAccessMethod(const char*, void** amec, int32_t) {
  *amec = nullptr;
  return 0;
}
}  // namespace

TEST_F(RegistryTest, LookupsWithoutTheModuleBlockFindNothing) {
  ASSERT_EQ(Assign("A", "L.C.E"), 0);
  for (yxam2am_routine fake : {&NoAccessMethod, &NullAccessMethod}) {
    ScopedService lookup(host(), yxam2am_service, fake);
    amec_block* found = amec();
    fileref_node* node = nullptr;
    EXPECT_EQ(yxlzl2l("A       ", &found, &node, 0), (int32_t)0x80001004);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(node, nullptr);
    EXPECT_EQ(slots().FilerefExists("A       ", 0), (int32_t)0x80001004);
    fileref_node* cursor = nullptr;
    char name[8];
    const char* display;
    int32_t length;
    EXPECT_EQ(slots().NextFileref(&cursor, name, 0, &display, &length), 0x802);
    EXPECT_NE(Assign("B", "L.C.E"), 0);
    EXPECT_NE(Deassign("A"), 0);
  }
  EXPECT_EQ(Walk(), (std::vector<std::string>{"A       "}));
  EXPECT_EQ(Deassign("A"), 0);
}

TEST_F(RegistryTest, NoMemoryForANodeChangesNothing) {
  host().module_arena().FailAfter(0);
  EXPECT_EQ(Assign("A", "L.C.E"), (int32_t)0x80000803);
  host().module_arena().StopFailing();
  ASSERT_EQ(Assign("A", "L.C.E"), 0);
  host().module_arena().FailAfter(0);
  EXPECT_EQ(AssignLike("B", "A", nullptr, 0), (int32_t)0x80000803);
  host().module_arena().StopFailing();
  EXPECT_EQ(Walk(), (std::vector<std::string>{"A       "}));
  EXPECT_EQ(Deassign("A"), 0);
}

}  // namespace
