#include "backup-server/commands/JsonText.h"

#include <cstdio>

namespace backup_server {

void JsonText::separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back())
            text_ += ",";
        first_.back() = false;
    }
}

void JsonText::quote(const std::string& text) {
    text_ += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            text_ += '\\';
            text_ += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            text_ += escaped;
        } else {
            text_ += static_cast<char>(c);
        }
    }
    text_ += '"';
}

JsonText& JsonText::open(char bracket) {
    separate();
    text_ += bracket;
    first_.push_back(true);
    return *this;
}

JsonText& JsonText::close(char bracket) {
    text_ += bracket;
    first_.pop_back();
    return *this;
}

JsonText& JsonText::key(const std::string& name) {
    separate();
    quote(name);
    text_ += ':';
    afterKey_ = true;
    return *this;
}

JsonText& JsonText::value(const std::string& text) {
    separate();
    quote(text);
    return *this;
}

JsonText& JsonText::value(std::uint64_t number) {
    separate();
    text_ += std::to_string(number);
    return *this;
}

JsonText& JsonText::value(std::int64_t number) {
    separate();
    text_ += std::to_string(number);
    return *this;
}

JsonText& JsonText::value(double number) {
    separate();
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", number);
    text_ += text;
    return *this;
}

JsonText& JsonText::value(bool flag) {
    separate();
    text_ += flag ? "true" : "false";
    return *this;
}

}  // namespace backup_server
