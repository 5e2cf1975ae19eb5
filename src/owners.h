// Owners of the C resources the agent handles: jansson values and texts,
// stdio files, descriptors, curl handles and the malloc'd snapshot records.
// Every such resource is held by one of these from the moment it is made, so
// that an error path needs no frees and nothing is freed twice.
#pragma once

#include <curl/curl.h>
#include <jansson.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

struct json_deleter {
    void operator()(json_t *value) const { json_decref(value); }
};
struct free_deleter {
    void operator()(void *p) const { free(p); }
};
struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
struct curl_cleaner {
    void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
};

// One reference of a jansson value.
using json_ptr = std::unique_ptr<json_t, json_deleter>;
// A text from malloc: json_dumps, strdup, str_replace.
using text_ptr = std::unique_ptr<char, free_deleter>;
// A record from malloc/calloc, such as the miner's metrics snapshots.
template <class T> using malloc_ptr = std::unique_ptr<T, free_deleter>;
// A stdio file; a writer that must know whether its last buffer reached the
// file calls fclose(f.release()) itself.
using file_ptr = std::unique_ptr<FILE, file_closer>;
using curl_ptr = std::unique_ptr<CURL, curl_cleaner>;

// A descriptor (file, socket, pipe end, inotify), closed once at the end of
// its owner's scope unless released.
class fd_owner
{
  public:
    fd_owner() = default;
    explicit fd_owner(int fd) : fd_(fd) {}
    ~fd_owner() { reset(); }
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
    fd_owner(fd_owner &&other) noexcept : fd_(other.release()) {}
    fd_owner &operator=(fd_owner &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};
