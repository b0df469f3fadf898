// The Arrow C data and C stream interfaces: the structs as their published
// ABI defines them, so tables cross from any producer (pyarrow, polars,
// DuckDB) without a library on either side. Guarded as the ABI asks, so a
// translation unit that also sees another copy of them compiles.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace radar {

// Why the stream failed, in one line: a producer's message can run on into
// a traceback (pyarrow adds a Python one after " Detail: ").
inline std::string stream_error(ArrowArrayStream& stream, const char* otherwise) {
    const char* why = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
    std::string text = why ? why : otherwise;
    text.resize(std::min(text.size(), text.find('\n')));
    if (const size_t detail = text.find(" Detail: Python exception"); detail != std::string::npos) text.resize(detail);
    return text;
}

}  // namespace radar
