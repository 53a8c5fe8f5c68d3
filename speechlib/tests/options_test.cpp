// Option parser, fatal-message routine and ZIRPATH search.
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "zir.h"

namespace {

// One call of zir_getopt as the test expects it.
struct step {
    int result;
    const char* optarg;  // null when no argument is expected
    int optind_after;
};

struct getopt_case {
    const char* title;
    std::vector<std::string> words;  // without the program name
    std::vector<step> steps;         // the last step returns -1
    const char* stderr_text;
};

void run_case(const getopt_case& c, const char* optstring = "Ip:g:o:st") {
    std::vector<std::string> storage = {"parvox"};
    storage.insert(storage.end(), c.words.begin(), c.words.end());
    std::vector<char*> argv;
    for (std::string& word : storage) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = int(storage.size());

    zir_getopt_reset();
    testing::internal::CaptureStderr();
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        const step& expected = c.steps[i];
        const int result = zir_getopt(argc, argv.data(), optstring);
        EXPECT_EQ(result, expected.result) << c.title << ", call " << i;
        if (expected.optarg == nullptr)
            EXPECT_EQ(zir_optarg, nullptr) << c.title << ", call " << i;
        else if (zir_optarg == nullptr)
            ADD_FAILURE() << c.title << ", call " << i << ": no argument";
        else
            EXPECT_STREQ(zir_optarg, expected.optarg) << c.title << ", call " << i;
        EXPECT_EQ(zir_optind, expected.optind_after) << c.title << ", call " << i;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.stderr_text) << c.title;
}

TEST(speechlib_getopt, AcceptsEveryWayOfWritingOptions) {
    const getopt_case cases[] = {
        {"single letter", {"-I"}, {{'I', nullptr, 2}, {-1, nullptr, 2}}, ""},
        {"attached argument", {"-pfile"}, {{'p', "file", 2}, {-1, nullptr, 2}}, ""},
        {"argument in the next word", {"-p", "file"}, {{'p', "file", 3}, {-1, nullptr, 3}}, ""},
        {"group", {"-st", "ctl"}, {{'s', nullptr, 1}, {'t', nullptr, 2}, {-1, nullptr, 2}}, ""},
        {"group ending in an argument option",
         {"-to", "out.wav"},
         {{'t', nullptr, 1}, {'o', "out.wav", 3}, {-1, nullptr, 3}},
         ""},
        {"group with attached argument",
         {"-tgglot.txt"},
         {{'t', nullptr, 1}, {'g', "glot.txt", 2}, {-1, nullptr, 2}},
         ""},
        {"argument that starts with a minus", {"-o", "-s"}, {{'o', "-s", 3}, {-1, nullptr, 3}}, ""},
        {"later option replaces nothing here",
         {"-o", "a", "-o", "b"},
         {{'o', "a", 3}, {'o', "b", 5}, {-1, nullptr, 5}},
         ""},
        {"no words", {}, {{-1, nullptr, 1}}, ""},
        {"operand first", {"ctl", "-I"}, {{-1, nullptr, 1}, {-1, nullptr, 1}}, ""},
        {"operand after options", {"-t", "ctl", "-s"}, {{'t', nullptr, 2}, {-1, nullptr, 2}}, ""},
        {"double minus ends options", {"--", "-I"}, {{-1, nullptr, 2}}, ""},
        {"double minus inside a group", {"-t-x", "ctl"}, {{'t', nullptr, 1}, {-1, nullptr, 2}}, ""},
        {"lone minus is an operand",
         {"-t", "-", "-I"},
         {{'t', nullptr, 2}, {-1, nullptr, 2}, {-1, nullptr, 2}},
         ""},
        {"empty word is an operand", {""}, {{-1, nullptr, 1}}, ""},
    };
    for (const getopt_case& c : cases) run_case(c);
}

TEST(speechlib_getopt, RefusesUnknownLettersAndMissingArguments) {
    const getopt_case cases[] = {
        {"unknown letter",
         {"-x", "ctl"},
         {{'?', nullptr, 2}, {-1, nullptr, 2}},
         "illegal option 'x'\n"},
        {"rest of the group is skipped",
         {"-xs", "-I"},
         {{'?', nullptr, 2}, {'I', nullptr, 3}, {-1, nullptr, 3}},
         "illegal option 'x'\n"},
        {"unknown after a known letter",
         {"-tx"},
         {{'t', nullptr, 1}, {'?', nullptr, 2}, {-1, nullptr, 2}},
         "illegal option 'x'\n"},
        {"letters are case sensitive",
         {"-i"},
         {{'?', nullptr, 2}, {-1, nullptr, 2}},
         "illegal option 'i'\n"},
        {"colon is not an option letter",
         {"-:"},
         {{'?', nullptr, 2}, {-1, nullptr, 2}},
         "illegal option ':'\n"},
        {"every unknown letter is reported",
         {"-x", "-y"},
         {{'?', nullptr, 2}, {'?', nullptr, 3}, {-1, nullptr, 3}},
         "illegal option 'x'\nillegal option 'y'\n"},
        {"missing argument at the end",
         {"-o"},
         {{'?', nullptr, 2}, {-1, nullptr, 2}},
         "option 'o' requires an argument\n"},
        {"missing argument after a group",
         {"-I", "-to"},
         {{'I', nullptr, 2}, {'t', nullptr, 2}, {'?', nullptr, 3}, {-1, nullptr, 3}},
         "option 'o' requires an argument\n"},
    };
    for (const getopt_case& c : cases) run_case(c);
}

TEST(speechlib_getopt, ReturnsLettersAbove0x7FAsTheirByteValues) {
    // 0xFF must not come back as -1, which would end the options early.
    const getopt_case c = {"bytes above 0x7F",
                           {"-\xff", "-\xe9x", "-t\xff"},
                           {{0xFF, nullptr, 2},
                            {0xE9, "x", 3},
                            {'t', nullptr, 3},
                            {0xFF, nullptr, 4},
                            {-1, nullptr, 4}},
                           ""};
    run_case(c, "\xff\xe9:t");
}

TEST(speechlib_fatal, WritesOneLineWithTheProgramNameAndExitsWithOne) {
    EXPECT_EXIT(zir_fatal("could not open input file '%s'", "a b.ctl"), testing::ExitedWithCode(1),
                "^parvox: could not open input file 'a b.ctl'\n$");
    EXPECT_EXIT(zir_fatal("Main sampling rate must be %d", 11000), testing::ExitedWithCode(1),
                "^parvox: Main sampling rate must be 11000\n$");
    EXPECT_EXIT(
        {
            zir_progname = "other";
            zir_fatal("%s", "x");
        },
        testing::ExitedWithCode(1), "^other: x\n$");
}

TEST(speechlib_fatal, CutsAnOverlongMessageSafely) {
    const std::string huge(5000, 'a');
    // The whole shown text, prefix included, is cut to 1023 bytes: 8 for
    // "parvox: " and 1015 letters; the line end follows.
    EXPECT_EXIT(zir_fatal("%s", huge.c_str()), testing::ExitedWithCode(1), "^parvox: a{1015}\n$");
    // A message that just fits the shown text is kept whole.
    const std::string fits(1015, 'b');
    EXPECT_EXIT(zir_fatal("%s", fits.c_str()), testing::ExitedWithCode(1), "^parvox: b{1015}\n$");
}

TEST(speechlib_findfile, ReturnsTheNameUnchangedWithoutZirpathOrForAbsoluteNames) {
    temp_dir dir;
    const std::string existing = dir.touch("a.txt");
    {
        scoped_env unset("ZIRPATH", nullptr);
        EXPECT_STREQ(zir_findfile("a.txt"), "a.txt");
    }
    scoped_env set("ZIRPATH", dir.path().c_str());
    for (const char* name : {"/a.txt", "\\a.txt", "C:\\a.txt", "C:/a.txt"})
        EXPECT_STREQ(zir_findfile(name), name);
}

TEST(speechlib_findfile, SearchesTheElementsInOrder) {
    temp_dir dir;
    dir.touch("first/both.txt");
    dir.touch("second/both.txt");
    dir.touch("second/only2.txt");
    dir.touch("second/sub/c.txt");
    dir.touch("C:a.txt");
    const std::string first = dir.file("first"), second = dir.file("second");
    const std::string zirpath = first + ";" + second;
    scoped_env set("ZIRPATH", zirpath.c_str());

    EXPECT_EQ(std::string(zir_findfile("both.txt")), first + "/both.txt");
    EXPECT_EQ(std::string(zir_findfile("only2.txt")), second + "/only2.txt");
    EXPECT_STREQ(zir_findfile("missing.txt"), "missing.txt");
    EXPECT_EQ(std::string(zir_findfile("sub/c.txt")), second + "/sub/c.txt");

    // A drive letter without a separator is not absolute, so it is searched.
    const std::string with_drive = dir.path() + ";x";
    scoped_env drive("ZIRPATH", with_drive.c_str());
    EXPECT_EQ(std::string(zir_findfile("C:a.txt")), dir.path() + "/C:a.txt");
}

TEST(speechlib_findfile, HandlesDotEmptyAndTrailingSeparatorElements) {
    temp_dir dir;
    dir.touch("d/a.txt");
    ASSERT_EQ(chdir(dir.path().c_str()), 0);

    {
        // "." gives the bare name, tried before the directory; the directory
        // gets "/" whatever separator it uses itself. "C:\data" is an
        // ordinary directory name here, so the second candidate can be made.
        scoped_env set("ZIRPATH", ".;C:\\data");
        EXPECT_STREQ(zir_findfile("b.txt"), "b.txt");
        dir.touch("C:\\data/b.txt");
        EXPECT_STREQ(zir_findfile("b.txt"), "C:\\data/b.txt");
        dir.touch("b.txt");
        EXPECT_STREQ(zir_findfile("b.txt"), "b.txt");
        EXPECT_STREQ(zir_findfile("d/a.txt"), "d/a.txt");
    }
    {
        // An element ending in "/" still gets a "/" added, which the file
        // system takes as one separator.
        scoped_env set("ZIRPATH", "nothing;d/");
        EXPECT_STREQ(zir_findfile("a.txt"), "d//a.txt");
    }
    {
        // Empty elements (leading, doubled, trailing) become "/" + name at the root.
        const std::string path = ";;" + dir.file("d") + ";";
        scoped_env set("ZIRPATH", path.c_str());
        EXPECT_EQ(std::string(zir_findfile("a.txt")), dir.file("d") + "/a.txt");
        EXPECT_STREQ(zir_findfile("tmp"), "/tmp");
    }
    ASSERT_EQ(chdir("/"), 0);
}

TEST(speechlib_findfile, KeepsLongNamesAndCandidatesWhole) {
    // Far beyond any fixed buffer: a 300-letter directory and a 300-letter name.
    temp_dir dir;
    const std::string long_dir = std::string(200, 'd') + "/" + std::string(100, 'e');
    const std::string long_name = std::string(250, 'n') + ".txt";
    const std::string expected = dir.touch(long_dir + "/" + long_name);
    const std::string zirpath = "nothing;" + dir.file(long_dir);
    scoped_env set("ZIRPATH", zirpath.c_str());
    EXPECT_EQ(std::string(zir_findfile(long_name.c_str())), expected);
    const std::string missing = std::string(600, 'm');
    EXPECT_EQ(std::string(zir_findfile(missing.c_str())), missing);
}

}  // namespace
