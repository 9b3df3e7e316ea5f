/* Stand-in for the libcgi CGI helper library, with only what kstmon needs.
 *
 * Contract (one request per process; not thread-safe):
 *  - cgi_init()          prepares the library; call once before any output.
 *  - cgi_process_form()  reads the request's form data: the QUERY_STRING of
 *                        any request and, for a POST of type
 *                        application/x-www-form-urlencoded, exactly
 *                        CONTENT_LENGTH bytes of standard input (at most
 *                        CGI_MAX_POST_SIZE). Fields are URL-decoded and kept
 *                        for cgi_param(). Input it refuses is reported on
 *                        standard error (the web server's error log) and
 *                        returns -1; nothing is ever written to standard
 *                        output.
 *  - cgi_init_headers()  writes the CGI response header of an HTML page,
 *                        "Content-Type: text/html; charset=windows-1250" and
 *                        an empty line, to standard output; everything
 *                        printed after it is the page body. Only the first
 *                        call writes.
 *  - cgi_end()           flushes standard output and releases the fields.
 */
#ifndef KST_PLATFORM_CGI_H
#define KST_PLATFORM_CGI_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Largest POST body that cgi_process_form() reads. */
#define CGI_MAX_POST_SIZE (64 * 1024)

/* The exact header that cgi_init_headers() writes. */
#define CGI_HTML_HEADER "Content-Type: text/html; charset=windows-1250\r\n\r\n"

/* Returns 0; -1 if it had been called already without cgi_end(). */
int cgi_init(void);

/* Returns 0 when all form data has been read, -1 when some was refused. */
int cgi_process_form(void);

void cgi_init_headers(void);

void cgi_end(void);

/* Value of the first field called `name`, or NULL. Fields whose decoded name
 * or value holds a NUL byte are dropped. Valid until cgi_end(). */
const char* cgi_param(const char* name);

/* Number of fields kept. */
size_t cgi_param_count(void);

/* Adds the fields of one application/x-www-form-urlencoded text of `length`
 * bytes (no terminator needed). Returns 0, or -1 when out of memory. */
int cgi_parse_form_data(const char* data, size_t length);

#ifdef __cplusplus
}
#endif

#endif
