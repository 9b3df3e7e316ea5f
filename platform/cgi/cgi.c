/* Stand-in for the libcgi CGI helper library; see cgi.h for the contract. */
#include "cgi.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

struct cgi_field {
    char* name;
    char* value;
};

static struct cgi_field* fields;
static size_t fieldCount;
static size_t fieldCapacity;
static int initialised;
static int headerWritten;

static void free_fields(void) {
    for (size_t i = 0; i < fieldCount; i++) {
        free(fields[i].name);
        free(fields[i].value);
    }
    free(fields);
    fields = NULL;
    fieldCount = fieldCapacity = 0;
}

int cgi_init(void) {
    if (initialised) return -1;
    initialised = 1;
    headerWritten = 0;
    return 0;
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Decodes `length` bytes of URL-encoded text: '+' is a space, "%XY" the byte
 * XY; a '%' without two hex digits stays as it is. Sets *hasNul when the
 * result holds a NUL byte. Returns a new string or NULL when out of memory. */
static char* url_decode(const char* text, size_t length, int* hasNul) {
    char* out = malloc(length + 1);
    if (!out) return NULL;
    size_t o = 0;
    *hasNul = 0;
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && i + 2 < length) {
            int high = hex_value(text[i + 1]);
            int low = hex_value(text[i + 2]);
            if (high >= 0 && low >= 0) {
                c = (char)(high * 16 + low);
                i += 2;
            }
        }
        if (c == '\0') *hasNul = 1;
        out[o++] = c;
    }
    out[o] = '\0';
    return out;
}

static int add_field(const char* pair, size_t length) {
    const char* equals = memchr(pair, '=', length);
    size_t nameLength = equals ? (size_t)(equals - pair) : length;
    const char* valueStart = equals ? equals + 1 : pair + length;
    size_t valueLength = (size_t)(pair + length - valueStart);
    if (nameLength == 0) return 0;

    int nameNul = 0, valueNul = 0;
    char* name = url_decode(pair, nameLength, &nameNul);
    char* value = url_decode(valueStart, valueLength, &valueNul);
    if (!name || !value) {
        free(name);
        free(value);
        return -1;
    }
    if (nameNul || valueNul) {
        free(name);
        free(value);
        return 0;
    }
    if (fieldCount == fieldCapacity) {
        size_t capacity = fieldCapacity ? fieldCapacity * 2 : 8;
        struct cgi_field* grown = realloc(fields, capacity * sizeof *grown);
        if (!grown) {
            free(name);
            free(value);
            return -1;
        }
        fields = grown;
        fieldCapacity = capacity;
    }
    fields[fieldCount].name = name;
    fields[fieldCount].value = value;
    fieldCount++;
    return 0;
}

int cgi_parse_form_data(const char* data, size_t length) {
    size_t start = 0;
    while (start < length) {
        const char* amp = memchr(data + start, '&', length - start);
        size_t end = amp ? (size_t)(amp - data) : length;
        if (add_field(data + start, end - start) != 0) return -1;
        start = end + 1;
    }
    return 0;
}

/* "application/x-www-form-urlencoded", optionally followed by parameters. */
static int is_urlencoded(const char* type) {
    static const char urlencoded[] = "application/x-www-form-urlencoded";
    size_t n = sizeof urlencoded - 1;
    if (!type || strncasecmp(type, urlencoded, n) != 0) return 0;
    return type[n] == '\0' || type[n] == ';' || type[n] == ' ' || type[n] == '\t';
}

/* CONTENT_LENGTH as a byte count; -1 unless it is plain decimal digits of a
 * value up to the limit, -2 when it is larger. */
static long content_length(const char* text) {
    if (!text || !*text) return 0;
    long value = 0;
    for (const char* p = text; *p; p++) {
        if (*p < '0' || *p > '9') return -1;
        value = value * 10 + (*p - '0');
        if (value > CGI_MAX_POST_SIZE) return -2;
    }
    return value;
}

static int read_post_body(void) {
    const char* lengthText = getenv("CONTENT_LENGTH");
    long length = content_length(lengthText);
    if (length == -1) {
        fprintf(stderr, "cgi: invalid CONTENT_LENGTH '%s', form data not read\n", lengthText);
        return -1;
    }
    if (length == -2) {
        fprintf(stderr, "cgi: POST body of %s bytes exceeds the limit of %d bytes, not read\n", lengthText,
                CGI_MAX_POST_SIZE);
        return -1;
    }
    if (length == 0) return 0;
    if (!is_urlencoded(getenv("CONTENT_TYPE"))) {
        const char* type = getenv("CONTENT_TYPE");
        fprintf(stderr, "cgi: POST body of type '%s' not read\n", type ? type : "");
        return -1;
    }

    char* body = malloc((size_t)length);
    if (!body) {
        fprintf(stderr, "cgi: no memory for a POST body of %ld bytes\n", length);
        return -1;
    }
    size_t got = 0;
    while (got < (size_t)length) {
        ssize_t n = read(STDIN_FILENO, body + got, (size_t)length - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            fprintf(stderr, "cgi: cannot read the POST body: %s\n", strerror(errno));
            free(body);
            return -1;
        }
        if (n == 0) {
            fprintf(stderr, "cgi: POST body ended after %zu of %ld bytes, form data not used\n", got, length);
            free(body);
            return -1;
        }
        got += (size_t)n;
    }
    int result = cgi_parse_form_data(body, got);
    free(body);
    if (result != 0) fprintf(stderr, "cgi: no memory for the form data\n");
    return result;
}

int cgi_process_form(void) {
    int result = 0;
    const char* query = getenv("QUERY_STRING");
    if (query && cgi_parse_form_data(query, strlen(query)) != 0) {
        fprintf(stderr, "cgi: no memory for the form data\n");
        result = -1;
    }
    const char* method = getenv("REQUEST_METHOD");
    if (method && strcasecmp(method, "POST") == 0 && read_post_body() != 0) result = -1;
    return result;
}

void cgi_init_headers(void) {
    if (headerWritten) return;
    fputs(CGI_HTML_HEADER, stdout);
    headerWritten = 1;
}

void cgi_end(void) {
    fflush(stdout);
    free_fields();
    initialised = 0;
}

const char* cgi_param(const char* name) {
    for (size_t i = 0; i < fieldCount; i++) {
        if (strcmp(fields[i].name, name) == 0) return fields[i].value;
    }
    return NULL;
}

size_t cgi_param_count(void) { return fieldCount; }
