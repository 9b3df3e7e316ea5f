// INI reader: syntax edge cases, lookups, line reading across the internal
// buffer boundary, failures and the exception family.
#include "inifile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "sandbox.h"

namespace {

class IniFileTest : public ::testing::Test {
protected:
    // Writes `content` to a file and parses it into `m_ini`. Returns the
    // toString() of the exception thrown, or "" when parsing succeeded.
    std::string parse(const std::string& content) {
        const std::string path = m_dir.file("test" + std::to_string(++m_files) + ".ini");
        sandbox::writeFile(path, content);
        m_ini.Free();
        try {
            m_ini.Open(path, IniFile::RO);
            m_ini.ParseFile();
            m_ini.Close();
        } catch (const IniFileException& e) {
            m_ini.Close();
            m_major = e.major();
            m_minor = e.minor();
            return e.toString();
        }
        return std::string();
    }

    // Path lookup with a default that trimming would change, so that a
    // returned default is recognisable as unchanged.
    std::string get(const std::string& path, bool* found = nullptr) { return m_ini.GetSetting(path, kDefault, found); }

    static constexpr const char* kDefault = " \"dflt\" ";

    sandbox::ScratchDir m_dir;
    IniFile m_ini;
    int m_files = 0;
    int m_major = -1;
    int m_minor = -1;
};

TEST(Trim, CutsOnlyCharactersOfTheSet) {
    EXPECT_EQ(TrimRight("  a b \r ", " \r"), "  a b");
    EXPECT_EQ(TrimRight("a\t", " "), "a\t");
    EXPECT_EQ(TrimRight(" \r ", " \r"), "");
    EXPECT_EQ(TrimRight("", " "), "");

    EXPECT_EQ(TrimLeft(" \r a b  ", " \r"), "a b  ");
    EXPECT_EQ(TrimLeft("\ta", " "), "\ta");
    // Not used this way by callers, but must not fail.
    EXPECT_EQ(TrimLeft("   ", " "), "");
    EXPECT_EQ(TrimLeft("", " "), "");

    EXPECT_EQ(Trim("\" \tquoted value\t \"", " \r\t\""), "quoted value");
    EXPECT_EQ(Trim("x", " "), "x");
    EXPECT_EQ(Trim(" \r\t ", " \r\t"), "");
    EXPECT_EQ(Trim("", " \r"), "");
    EXPECT_EQ(Trim("a b", ""), "a b");
    // Inner characters of the set stay.
    EXPECT_EQ(Trim(" a \" b ", " \""), "a \" b");
}

// A concrete root exception, to reach the constructors of the abstract base.
class PlainException : public Exception {
public:
    using Exception::Exception;
    std::string toString() const override { return "plain"; }
};

TEST(IniExceptions, ToStringTexts) {
    EXPECT_EQ(IniFileException(IFL_BAD_LINE, 12, "Not in section").toString(),
              "Parse error on line 12: Not in section");
    EXPECT_EQ(IniFileException(IFL_BAD_LINE, -3, "x").toString(), "Parse error on line -3: x");
    EXPECT_EQ(IniFileException(IFL_BAD_FILE, 0, "Error while openning file 'a'").toString(),
              "Error while openning file 'a'");
    EXPECT_EQ(IniFileException(IFL_NONE, 0, "ignored").toString(), "");
    EXPECT_EQ(IniFileException(IFL_BAD_KEY, 4, "ignored").toString(), "");
    EXPECT_EQ(IniFileException(IFL_BAD_LINE, 2).toString(), "Parse error on line 2: ");
    EXPECT_EQ(IniFileException(IFL_BAD_LINE, 2, nullptr).toString(), "Parse error on line 2: ");

    // Callers may catch the base.
    try {
        throw IniFileException(IFL_BAD_LINE, 5, "s");
    } catch (const Exception& root) {
        EXPECT_EQ(root.toString(), "Parse error on line 5: s");
        EXPECT_EQ(root.major(), IFL_BAD_LINE);
        EXPECT_EQ(root.minor(), 5);
        EXPECT_EQ(root.message(), "s");
    }
    IniFileException original(IFL_BAD_LINE, 3, "copied");
    IniFileException copy(original);
    EXPECT_EQ(copy.toString(), "Parse error on line 3: copied");

    PlainException one(IFL_BAD_FILE);
    EXPECT_EQ(one.major(), IFL_BAD_FILE);
    EXPECT_EQ(one.minor(), 0);
    EXPECT_EQ(one.message(), "");
}

TEST_F(IniFileTest, EmptyFileHasNoSections) {
    ASSERT_EQ(parse(""), "");
    EXPECT_EQ(m_ini.SectionCount(), 0);
    EXPECT_TRUE(m_ini.GetSectionBegin() == m_ini.GetSectionEnd());
    EXPECT_TRUE(m_ini.GetSection("") == m_ini.GetSectionEnd());
    bool found = true;
    EXPECT_EQ(get("S/k", &found), kDefault);
    EXPECT_FALSE(found);
    found = true;
    EXPECT_EQ(get("/", &found), kDefault);
    EXPECT_FALSE(found);
}

TEST_F(IniFileTest, ParseErrorsNameTheLine) {
    EXPECT_EQ(parse("key=value\n[S]\n"), "Parse error on line 1: Not in section");
    EXPECT_EQ(m_major, IFL_BAD_LINE);
    EXPECT_EQ(m_minor, 1);
    EXPECT_EQ(m_ini.SectionCount(), 0);

    // Comments and blank lines before the first section count as lines.
    EXPECT_EQ(parse(";c\n\n \t\nk = v\n"), "Parse error on line 4: Not in section");

    // What was parsed before the error stays.
    EXPECT_EQ(parse("[A]\na=1\n[B]\njunk\nb=2\n"),
              "Parse error on line 4: Cannot recognize key=value pair. Line do not contains '='.");
    EXPECT_EQ(m_minor, 4);
    EXPECT_EQ(m_ini.SectionCount(), 2);
    EXPECT_EQ(get("A/a"), "1");
    bool found = true;
    EXPECT_EQ(get("B/b", &found), kDefault);
    EXPECT_FALSE(found);

    // Headers and comments count only in the first column.
    EXPECT_EQ(parse("[S]\n [T]\n"),
              "Parse error on line 2: Cannot recognize key=value pair. Line do not contains '='.");
    EXPECT_EQ(parse("[S]\n\t;comment\n"),
              "Parse error on line 2: Cannot recognize key=value pair. Line do not contains '='.");
}

TEST_F(IniFileTest, Comments) {
    ASSERT_EQ(parse("; before any section\n;=\n[S]\n; first \r\nk=v\n;  last one \r\n"), "");
    EXPECT_EQ(m_ini.SectionCount(), 1);
    bool found = false;
    EXPECT_EQ(get("S/;", &found), "last one");
    EXPECT_TRUE(found);
    EXPECT_EQ(get("S/k"), "v");

    // A section with only the comments from before it has no ";" key.
    ASSERT_EQ(parse(";only\n[S]\nk=v\n"), "");
    found = true;
    EXPECT_EQ(get("S/;", &found), kDefault);
    EXPECT_FALSE(found);

    // A comment file without sections is valid.
    ASSERT_EQ(parse(";a\n;b=c\n"), "");
    EXPECT_EQ(m_ini.SectionCount(), 0);

    // A ";" after a value is not a comment.
    ASSERT_EQ(parse("[S]\nk = v ; note\n"), "");
    EXPECT_EQ(get("S/k"), "v ; note");
}

TEST_F(IniFileTest, SectionHeaders) {
    ASSERT_EQ(parse("[ My Sec ]\nk=spaced\n[Plain] trailing text\nk=plain\n[]\nk=empty\n[a]b]\nk=first\n"), "");
    EXPECT_EQ(m_ini.SectionCount(), 4);
    EXPECT_EQ(get(" My Sec /k"), "spaced");
    bool found = true;
    EXPECT_EQ(get("My Sec/k", &found), kDefault);
    EXPECT_FALSE(found);
    EXPECT_EQ(get("Plain/k"), "plain");
    EXPECT_EQ(get("/k"), "empty");
    EXPECT_EQ(get("a/k"), "first");
    // Names are case-sensitive.
    EXPECT_EQ(get("plain/k"), kDefault);

    // Without "]" the rest of the line is the name, carriage return included.
    ASSERT_EQ(parse("[Open\r\nk=v\r\n"), "");
    EXPECT_EQ(m_ini.GetSectionBegin()->GetName(), "Open\r");
    EXPECT_EQ(get("Open\r/k"), "v");
    EXPECT_EQ(get("Open/k"), kDefault);
    ASSERT_EQ(parse("[Open\nk=v\n"), "");
    EXPECT_EQ(get("Open/k"), "v");
    ASSERT_EQ(parse("["), "");
    EXPECT_EQ(m_ini.SectionCount(), 1);
    EXPECT_EQ(m_ini.GetSectionBegin()->GetName(), "");
}

TEST_F(IniFileTest, CrLfLineEnds) {
    ASSERT_EQ(parse("[S]\r\nkey = value \r\n\r\n;note\r\nother=x\r\n"), "");
    EXPECT_EQ(m_ini.GetSectionBegin()->GetName(), "S");
    EXPECT_EQ(get("S/key"), "value");
    EXPECT_EQ(get("S/other"), "x");
    EXPECT_EQ(get("S/;"), "note");
}

TEST_F(IniFileTest, KeysAndValues) {
    ASSERT_EQ(parse("[S]\n"
                    "quoted = \"with spaces\"\n"
                    "inner = a\"b\n"
                    "left = \"open\n"
                    "right = close\"\n"
                    "padded = \" x \" \t\n"
                    "\tindented = tab\n"
                    "tabbed\t= after\n"
                    "url = http://h/?a=b=c\n"
                    "k==v\n"
                    "= no key\n"
                    "a/b = slash\n"
                    "empty =\n"
                    "Case = upper\n"),
              "");
    EXPECT_EQ(get("S/quoted"), "with spaces");
    EXPECT_EQ(get("S/inner"), "a\"b");
    EXPECT_EQ(get("S/left"), "open");
    EXPECT_EQ(get("S/right"), "close");
    EXPECT_EQ(get("S/padded"), "x");
    bool found = true;
    EXPECT_EQ(get("S/indented", &found), kDefault);
    EXPECT_FALSE(found);
    EXPECT_EQ(get("S/\tindented", &found), "tab");
    EXPECT_TRUE(found);
    EXPECT_EQ(get("S/tabbed"), kDefault);
    EXPECT_EQ(get("S/tabbed\t"), "after");
    EXPECT_EQ(get("S/url"), "http://h/?a=b=c");
    EXPECT_EQ(get("S/k"), "=v");
    EXPECT_EQ(get("S/"), "no key");
    EXPECT_EQ(get("S/a/b"), "slash");
    found = false;
    EXPECT_EQ(get("S/empty", &found), "");
    EXPECT_TRUE(found);
    EXPECT_EQ(get("S/case"), kDefault);
    EXPECT_EQ(get("S/Case"), "upper");
}

TEST_F(IniFileTest, RepeatedKeysAndSections) {
    ASSERT_EQ(parse("[S]\nk=1\nk=2\n[T]\nk=t\n[S]\nk=3\nonly=later\n"), "");
    EXPECT_EQ(m_ini.SectionCount(), 3);
    EXPECT_EQ(get("S/k"), "2");
    EXPECT_EQ(get("T/k"), "t");
    bool found = true;
    EXPECT_EQ(get("S/only", &found), kDefault);
    EXPECT_FALSE(found);
    EXPECT_TRUE(m_ini.GetSection("S") == m_ini.GetSectionBegin());

    // Parsing appends: the same file twice duplicates every section.
    const std::string path = m_dir.file("twice.ini");
    sandbox::writeFile(path, "[A]\nk=v\n");
    IniFile ini;
    for (int i = 0; i < 2; ++i) {
        ini.Open(path, IniFile::RO);
        ini.ParseFile();
        ini.Close();
    }
    EXPECT_EQ(ini.SectionCount(), 2);
    EXPECT_EQ(ini.GetSetting("A/k", "", nullptr), "v");
    ini.Free();
    EXPECT_EQ(ini.SectionCount(), 0);
    EXPECT_EQ(ini.GetSetting("A/k", "d", nullptr), "d");
}

TEST_F(IniFileTest, BlankLinesAreSkipped) {
    ASSERT_EQ(parse("\n   \n\t\t\n\r\n \t\r \n[S]\n \t \r\n\nk=v\n\n"), "");
    EXPECT_EQ(m_ini.SectionCount(), 1);
    EXPECT_EQ(get("S/k"), "v");
}

TEST_F(IniFileTest, LookupDefaults) {
    ASSERT_EQ(parse("[S]\nk= v \n"), "");
    bool found = true;
    // No "/" in the path.
    EXPECT_EQ(get("S", &found), kDefault);
    EXPECT_FALSE(found);
    found = true;
    EXPECT_EQ(get("Missing/k", &found), kDefault);
    EXPECT_FALSE(found);
    found = true;
    EXPECT_EQ(get("S/missing", &found), kDefault);
    EXPECT_FALSE(found);
    // A null found flag is allowed everywhere.
    EXPECT_EQ(m_ini.GetSetting("S/k", "", nullptr), "v");
    EXPECT_EQ(m_ini.GetSetting("S", "d", nullptr), "d");

    // The section lookup trims its default; the path lookup does not.
    IniSectionIterator section = m_ini.GetSection("S");
    ASSERT_TRUE(section != m_ini.GetSectionEnd());
    found = true;
    EXPECT_EQ(section->GetSetting("missing", kDefault, &found), "dflt");
    EXPECT_FALSE(found);
    EXPECT_EQ(section->GetSetting("k", "unused", &found), "v");
    EXPECT_TRUE(found);
    EXPECT_EQ(section->GetSetting("missing", "x", nullptr), "x");
}

TEST_F(IniFileTest, SectionObjects) {
    IniSection section("Name");
    EXPECT_EQ(section.GetName(), "Name");
    section.SetName("Other");
    EXPECT_EQ(section.GetName(), "Other");
    IniSetting first("k", "1");
    IniSetting second;
    EXPECT_EQ(second.GetKey(), "");
    EXPECT_EQ(second.GetValue(), "");
    second.SetKeyValue("k", "\"2\"");
    EXPECT_EQ(second.GetKey(), "k");
    EXPECT_EQ(second.GetValue(), "\"2\"");
    EXPECT_EQ(section.AppendSetting(first), 1);
    EXPECT_EQ(section.AppendSetting(second), 2);
    EXPECT_EQ(section.GetSetting("k", "", nullptr), "2");
}

TEST_F(IniFileTest, PrintShowsTheParsedFile) {
    const std::string path = m_dir.file("print.ini");
    sandbox::writeFile(path, ";dropped\n[S]\n; note \nk = v\n=\n[ T ]\na=\"q\"\n");
    sandbox::ChildResult child = sandbox::runChild(m_dir, [&]() {
        IniFile ini;
        ini.Open(path, IniFile::RO);
        ini.ParseFile();
        ini.Close();
        ini.Print();
        return 0;
    });
    ASSERT_TRUE(child.exitedWith(0));
    EXPECT_EQ(child.out, "File name:" + path + "\n[S]\n;note\nk = v\n\n[ T ]\na = \"q\"\n");
}

// Lines of the given length, "k=xxx...", around multiples of the 2047
// characters one read of the reader takes.
TEST_F(IniFileTest, LongLines) {
    for (size_t length : {2046u, 2047u, 2048u, 2049u, 4093u, 4094u, 4095u, 4096u, 5000u, 70000u}) {
        SCOPED_TRACE("line length " + std::to_string(length));
        const std::string value(length - 2, 'x');
        const std::string longComment = ";" + std::string(length - 1, 'c');
        ASSERT_EQ(parse("[S]\nk=" + value + "\nnext=after\n" + longComment + "\nlast=" + value), "");
        EXPECT_EQ(m_ini.SectionCount(), 1);
        EXPECT_EQ(get("S/k"), value);
        EXPECT_EQ(get("S/next"), "after");
        EXPECT_EQ(get("S/;"), longComment.substr(1));
        EXPECT_EQ(get("S/last"), value);

        // A long header and a long line without "=".
        const std::string name(length - 2, 'n');
        ASSERT_EQ(parse("[" + name + "]\nk=v\n"), "");
        EXPECT_EQ(m_ini.GetSectionBegin()->GetName(), name);
        EXPECT_EQ(parse("[S]\n" + std::string(length, 'z') + "\nk=v\n"),
                  "Parse error on line 2: Cannot recognize key=value pair. Line do not contains '='.");
        // A blank line of that length is still blank.
        ASSERT_EQ(parse("[S]\n" + std::string(length, ' ') + "\nk=v\n"), "");
        EXPECT_EQ(get("S/k"), "v");
    }
}

TEST_F(IniFileTest, ReadLineCountsConsumedCharacters) {
    const std::string path = m_dir.file("lines.txt");
    const std::string a(2047, 'a'), b(2048, 'b'), c(4095, 'c');
    sandbox::writeFile(path, a + "\n\n" + b + "\r\n" + c + "\nend");
    IniFile ini;
    ini.Open(path, IniFile::RO);
    std::string line = "stale";
    EXPECT_EQ(ini.ReadLine(line), 2048);
    EXPECT_EQ(line, a);
    EXPECT_EQ(ini.ReadLine(line), 1);
    EXPECT_EQ(line, "");
    EXPECT_EQ(ini.ReadLine(line), 2050);
    EXPECT_EQ(line, b + "\r");
    EXPECT_EQ(ini.ReadLine(line), 4096);
    EXPECT_EQ(line, c);
    EXPECT_EQ(ini.ReadLine(line), 3);
    EXPECT_EQ(line, "end");
    EXPECT_EQ(ini.ReadLine(line), -1);
    EXPECT_EQ(line, "");
    EXPECT_EQ(ini.ReadLine(line), -1);
    ini.Close();

    // A last line of exactly one buffer, without newline.
    sandbox::writeFile(path, a);
    IniFile exact;
    exact.Open(path, IniFile::RO);
    EXPECT_EQ(exact.ReadLine(line), 2047);
    EXPECT_EQ(line, a);
    EXPECT_EQ(exact.ReadLine(line), -1);
}

TEST_F(IniFileTest, OpenFailures) {
    const std::string missing = m_dir.file("no-such-dir/kstd.ini");
    IniFile ini;
    try {
        ini.Open(missing, IniFile::RO);
        FAIL() << "no exception";
    } catch (const IniFileException& e) {
        EXPECT_EQ(e.toString(), "Error while openning file '" + missing + "'");
        EXPECT_EQ(e.major(), IFL_BAD_FILE);
        EXPECT_EQ(e.minor(), 0);
    }
    // Lookups on a reader that never read anything give the defaults.
    EXPECT_EQ(ini.GetSetting("S/k", "d", nullptr), "d");

    // RW needs an existing file; RO and RW both read it.
    const std::string absent = m_dir.file("absent.ini");
    EXPECT_THROW(ini.Open(absent, IniFile::RW), IniFileException);
    struct stat st;
    EXPECT_NE(stat(absent.c_str(), &st), 0);

    const std::string present = m_dir.file("present.ini");
    sandbox::writeFile(present, "[S]\nk=v\n");
    IniFile rw;
    rw.Open(present.c_str(), IniFile::RW);
    rw.ParseFile();
    rw.Close();
    EXPECT_EQ(rw.GetSetting("S/k", "", nullptr), "v");
}

// A path that opens but cannot be read (a directory) must end the parse with
// an error instead of reading empty lines for ever. The parse runs in a child
// with an alarm, so that a hang fails the test instead of stalling it.
TEST_F(IniFileTest, UnreadableFileIsAnError) {
    const std::string path = m_dir.path();
    sandbox::ChildResult child = sandbox::runChild(m_dir, [&]() {
        alarm(20);
        IniFile ini;
        ini.Open(path, IniFile::RO);
        try {
            ini.ParseFile();
            printf("no exception\n");
        } catch (const IniFileException& e) {
            printf("%d %d %s\n", e.major(), ini.SectionCount(), e.toString().c_str());
        }
        std::string line;
        printf("%d\n", ini.ReadLine(line));
        ini.Close();
        return 0;
    });
    ASSERT_TRUE(child.exitedWith(0)) << "parse did not end, wait status " << child.status;
    EXPECT_EQ(child.out, "3 0 Error while reading file '" + path + "'\n-1\n");
}

}  // namespace
