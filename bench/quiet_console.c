/*
 * quiet_console.so: an LD_PRELOAD shim for the benchmarks that drops what a
 * program prints on standard output and standard error before it is
 * formatted. kstd in daemon mode prints its trace to /dev/null; run with
 * this shim it shows what the daemon would cost without the trace.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static int console(FILE* stream) { return stream == stdout || stream == stderr; }

int printf(const char* format, ...) {
    (void)format;
    return 0;
}
int vprintf(const char* format, va_list args) {
    (void)format;
    (void)args;
    return 0;
}
int __printf_chk(int flag, const char* format, ...) {
    (void)flag;
    (void)format;
    return 0;
}
int puts(const char* text) {
    (void)text;
    return 1;
}
int putchar(int c) { return c; }

/* Both go through the vfprintf below, which drops console output. */
int fprintf(FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vfprintf(stream, format, args);
    va_end(args);
    return n;
}

int __fprintf_chk(FILE* stream, int flag, const char* format, ...) {
    (void)flag;
    va_list args;
    va_start(args, format);
    int n = vfprintf(stream, format, args);
    va_end(args);
    return n;
}

int vfprintf(FILE* stream, const char* format, va_list args) {
    static int (*real)(FILE*, const char*, va_list);
    if (console(stream)) return 0;
    if (!real) real = (int (*)(FILE*, const char*, va_list))dlsym(RTLD_NEXT, "vfprintf");
    return real(stream, format, args);
}

int __vfprintf_chk(FILE* stream, int flag, const char* format, va_list args) {
    (void)flag;
    return vfprintf(stream, format, args);
}

int fputs(const char* text, FILE* stream) {
    static int (*real)(const char*, FILE*);
    if (console(stream)) return 1;
    if (!real) real = (int (*)(const char*, FILE*))dlsym(RTLD_NEXT, "fputs");
    return real(text, stream);
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    static size_t (*real)(const void*, size_t, size_t, FILE*);
    if (console(stream)) return count;
    if (!real) real = (size_t(*)(const void*, size_t, size_t, FILE*))dlsym(RTLD_NEXT, "fwrite");
    return real(data, size, count, stream);
}
