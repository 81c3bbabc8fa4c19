// A small writer of JSON text for the tool's --json output: objects, arrays, strings
// (escaped), integers and booleans, with commas placed for the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace backup_server {

class JsonText {
  public:
    JsonText& beginObject() { return open('{'); }
    JsonText& endObject() { return close('}'); }
    JsonText& beginArray() { return open('['); }
    JsonText& endArray() { return close(']'); }
    JsonText& key(const std::string& name);
    JsonText& value(const std::string& text);
    JsonText& value(const char* text) { return value(std::string(text)); }
    JsonText& value(std::uint64_t number);
    JsonText& value(std::int64_t number);
    JsonText& value(double number);
    JsonText& value(bool flag);
    const std::string& text() const { return text_; }

  private:
    JsonText& open(char bracket);
    JsonText& close(char bracket);
    void separate();
    void quote(const std::string& text);

    std::string text_;
    std::vector<bool> first_;  // per open bracket: nothing written in it yet
    bool afterKey_ = false;
};

}  // namespace backup_server
