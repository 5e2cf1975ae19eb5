// JSON texts in the unit tests: parsed into an owner, written compactly.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "owners.h"

// The value of text (any JSON value); null for a null text, and null with a
// test failure when the text is not JSON.
inline json_ptr parse(const char *text)
{
    if (!text)
        return json_ptr();
    json_ptr v(json_loads(text, JSON_DECODE_ANY, nullptr));
    EXPECT_TRUE(v) << "not JSON: " << text;
    return v;
}

inline json_ptr parse(const std::string &text)
{
    return parse(text.c_str());
}

// value as compact text; "(null)" for null.
inline std::string dumps(const json_t *value)
{
    text_ptr text(value ? json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY) : nullptr);
    return text ? text.get() : "(null)";
}
