// The CGI stand-in: form data from the query string and from a POST body on
// standard input, and the response header on standard output.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "cgi.h"

namespace {

// Runs one request with the given environment and standard input, capturing
// standard output and standard error; the library's state is released after.
class Request : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_LENGTH", "CONTENT_TYPE"}) {
            unsetenv(name);
        }
    }

    void TearDown() override { cgi_end(); }

    // Replaces standard input with `data` (through a file, so that a short
    // body ends with a real EOF).
    void stdinFrom(const std::string& data) {
        FILE* f = tmpfile();
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
        fflush(f);
        rewind(f);
        savedStdin = dup(STDIN_FILENO);
        dup2(fileno(f), STDIN_FILENO);
        fclose(f);
    }

    void restoreStdin() {
        if (savedStdin >= 0) {
            dup2(savedStdin, STDIN_FILENO);
            close(savedStdin);
            savedStdin = -1;
        }
    }

    // Runs `body` with standard output going to a file and returns what it wrote.
    template <typename F>
    std::string captureStdout(F body) {
        fflush(stdout);
        FILE* f = tmpfile();
        int saved = dup(STDOUT_FILENO);
        dup2(fileno(f), STDOUT_FILENO);
        body();
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        std::string out;
        rewind(f);
        char buffer[512];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
        fclose(f);
        return out;
    }

    int savedStdin = -1;
};

TEST_F(Request, QueryStringFieldsAreDecoded) {
    setenv("REQUEST_METHOD", "GET", 1);
    setenv("QUERY_STRING", "a=1&name=J%C3%A1n+Nov%c3%a1k&&empty=&flag&a=2&=nameless&pct=100%&bad=%zz%4", 1);
    ASSERT_EQ(cgi_init(), 0);
    EXPECT_EQ(cgi_process_form(), 0);
    EXPECT_STREQ(cgi_param("a"), "1") << "the first of repeated fields wins";
    EXPECT_STREQ(cgi_param("name"), "J\xc3\xa1n Nov\xc3\xa1k");
    EXPECT_STREQ(cgi_param("empty"), "");
    EXPECT_STREQ(cgi_param("flag"), "");
    EXPECT_STREQ(cgi_param("pct"), "100%");
    EXPECT_STREQ(cgi_param("bad"), "%zz%4");
    EXPECT_EQ(cgi_param("missing"), nullptr);
    EXPECT_EQ(cgi_param_count(), 7u) << "empty pairs and nameless fields are dropped";
}

TEST_F(Request, FieldsWithNulBytesAreDropped) {
    setenv("QUERY_STRING", "x=a%00b&y%00=1&z=ok", 1);
    cgi_init();
    EXPECT_EQ(cgi_process_form(), 0);
    EXPECT_EQ(cgi_param("x"), nullptr);
    EXPECT_EQ(cgi_param("y"), nullptr);
    EXPECT_STREQ(cgi_param("z"), "ok");
    EXPECT_EQ(cgi_param_count(), 1u);
}

TEST_F(Request, PostBodyIsReadToContentLengthOnly) {
    setenv("REQUEST_METHOD", "POST", 1);
    setenv("QUERY_STRING", "q=1", 1);
    setenv("CONTENT_TYPE", "application/x-www-form-urlencoded; charset=UTF-8", 1);
    setenv("CONTENT_LENGTH", "11", 1);
    stdinFrom("text=hello&rest=not-read");
    cgi_init();
    EXPECT_EQ(cgi_process_form(), 0);
    char after[8] = {0};
    EXPECT_EQ(read(STDIN_FILENO, after, 4), 4);
    restoreStdin();
    EXPECT_STREQ(after, "rest") << "bytes past CONTENT_LENGTH stay unread";
    EXPECT_STREQ(cgi_param("q"), "1");
    EXPECT_STREQ(cgi_param("text"), "hello");
    EXPECT_EQ(cgi_param("rest"), nullptr);
}

TEST_F(Request, RefusedPostBodies) {
    struct Case {
        const char* what;
        const char* type;
        const char* length;
        std::string input;
        const char* message;
    };
    const Case cases[] = {
        {"short body", "application/x-www-form-urlencoded", "50", "a=1&b=2", "ended after 7 of 50 bytes"},
        {"not a number", "application/x-www-form-urlencoded", "12abc", "a=1", "invalid CONTENT_LENGTH '12abc'"},
        {"negative", "application/x-www-form-urlencoded", "-5", "a=1", "invalid CONTENT_LENGTH '-5'"},
        {"too large", "application/x-www-form-urlencoded", "99999999999999999999", "a=1", "exceeds the limit"},
        {"multipart", "multipart/form-data; boundary=x", "3", "a=1", "of type 'multipart/form-data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setenv("REQUEST_METHOD", "POST", 1);
        setenv("CONTENT_TYPE", c.type, 1);
        setenv("CONTENT_LENGTH", c.length, 1);
        stdinFrom(c.input);
        cgi_init();
        ::testing::internal::CaptureStderr();
        std::string out = captureStdout([] { EXPECT_EQ(cgi_process_form(), -1); });
        std::string err = ::testing::internal::GetCapturedStderr();
        restoreStdin();
        EXPECT_EQ(out, "") << "nothing may reach the page";
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(cgi_param("a"), nullptr);
        cgi_end();
    }
}

TEST_F(Request, PostWithoutBodyAndGetIgnoreStdin) {
    setenv("REQUEST_METHOD", "POST", 1);
    stdinFrom("a=1");
    cgi_init();
    EXPECT_EQ(cgi_process_form(), 0) << "no CONTENT_LENGTH: no body";
    cgi_end();
    setenv("REQUEST_METHOD", "GET", 1);
    setenv("CONTENT_LENGTH", "3", 1);
    setenv("CONTENT_TYPE", "application/x-www-form-urlencoded", 1);
    cgi_init();
    EXPECT_EQ(cgi_process_form(), 0);
    char buffer[4] = {0};
    EXPECT_EQ(read(STDIN_FILENO, buffer, 3), 3);
    restoreStdin();
    EXPECT_EQ(cgi_param_count(), 0u);
}

TEST_F(Request, HeaderIsWrittenOnceBeforeThePage) {
    std::string out = captureStdout([] {
        cgi_init();
        cgi_process_form();
        cgi_init_headers();
        fputs("<html></html>\n", stdout);
        cgi_init_headers();
        cgi_end();
    });
    EXPECT_EQ(out, "Content-Type: text/html; charset=windows-1250\r\n\r\n<html></html>\n");
}

TEST_F(Request, InitTwiceWithoutEndIsRefused) {
    EXPECT_EQ(cgi_init(), 0);
    EXPECT_EQ(cgi_init(), -1);
    cgi_end();
    EXPECT_EQ(cgi_init(), 0);
}

}  // namespace
