// Arbitrary form data for the CGI stand-in's parser: every kept field must be
// a readable string, found again by its name.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "cgi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cgi_init();
    if (cgi_parse_form_data(reinterpret_cast<const char*>(data), size) == 0) {
        if (cgi_param_count() > size) __builtin_trap();
        const char* value = cgi_param("a");
        if (value) (void)strlen(value);
    }
    cgi_end();
    return 0;
}
