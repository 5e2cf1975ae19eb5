// Small helpers shared across the agent: thread names, URLs, address texts, hex, replace.
#pragma once

#include <jansson.h>

#include <cstddef>
#include <netinet/ether.h>
#include <netinet/in.h>
#include <string>

struct url_info {
    char proto[32];
    char host[256];
    int port;
    char path[256];
};

// Names the calling thread (the kernel keeps at most 15 characters).
void set_thread_name(const char *name);
// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread: background threads
// call it first, so that the stop signals reach the main thread.
void block_stop_signals(void);

// Default port of a URL scheme.
int proto_to_port(const char *proto);
// Splits "scheme://host[:port][/path][?query]"; 0, or -1 when there is no scheme or host.
int parse_url(const char *url, struct url_info *info);

// "aa:bb:cc:dd:ee:ff", lower case; buf holds at least 18 bytes.
char *ether_to_str(const struct ether_addr *addr, char *buf);
// Dotted quad of a network-order address; buf holds at least 16 bytes.
char *inet_to_str(in_addr_t addr, char *buf);
// 2*n lower-case hex digits and a NUL; buf holds at least 2*n+1 bytes.
char *util_hex(const unsigned char *data, size_t n, char *buf);
char *bin_to_hex(const void *data, size_t n, char *buf);

// New string with every non-overlapping occurrence of substr replaced by repl
// (free() it); null for an empty substr.
char *str_replace(const char *str, const char *substr, const char *repl);

// Replaces the file at path with len bytes of data, atomically: a temporary
// file beside it (path + ".tmp") is written, flushed and fsynced, then renamed
// over path, and the folder is fsynced. The new file keeps the mode (and, when
// permitted, the owner) of the one it replaces; a new file gets mode 0600.
// A symbolic link at path is written through: the file it points at is
// replaced (its temporary file beside it), the link stays. 0; -1 when the temporary file cannot be
// created, -2 when writing or renaming it fails (errno set; the old file is untouched). Any thread.
int util_save_file(const char *path, const void *data, size_t len);

// Fills buf with n bytes from the kernel's random source: getrandom where the
// kernel has it (Linux 3.17 and later), /dev/urandom otherwise. 0, or -1 when
// neither can be read.
int util_random_bytes(void *buf, size_t n);

// Copies the UTF-8 text src into dst of size bytes (size > 0), always
// terminated. Text that does not fit is cut at a character boundary, never
// inside a multi-byte character. Returns the number of bytes copied.
size_t util_copy_utf8(char *dst, size_t size, const char *src);

// The first of the null-terminated keys whose member in obj is an integer the
// C int cannot hold, or null. The unpack format "i" would keep only its low
// bits (4294967696 would read as 400).
const char *util_json_int_overflow(const json_t *obj, const char *const *keys);

// value as indented JSON text for a log line ("" when it cannot be written).
std::string util_json_text(const json_t *value);

// The number at the start of text, read as atoi reads it: leading blanks, one
// sign, decimal digits up to the first other character; 0 when there are
// none (" 2", "+2" and "2abc" are 2, "x" is 0). 0 with *value set, or -1 when
// the number lies outside the int range, where atoi's result would depend on
// the platform (4294967297 is 1 on a 64-bit host).
int util_parse_int(const char *text, int *value);
