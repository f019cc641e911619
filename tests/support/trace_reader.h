// Reads the request trace back for tests: a strict JSON Lines reader (objects of strings,
// numbers, booleans, null and arrays) that rejects anything malformed, and the flat view of a
// record (field name to value text) the bridge and vendor-command tests compare.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tracetest {

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    std::string text; // String, and the literal digits of a Number
    std::vector<Value> items;
    std::map<std::string, Value> fields;
    uint64_t U() const { return std::stoull(text); }
};

class Parser {
public:
    explicit Parser(const std::string& s) : s_(s) {}
    bool Parse(Value& v) {
        if (!ParseValue(v)) {
            return false;
        }
        Space();
        return i_ == s_.size();
    }

private:
    void Space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) {
            ++i_;
        }
    }
    bool Lit(const char* word) {
        size_t n = std::char_traits<char>::length(word);
        if (s_.compare(i_, n, word) != 0) {
            return false;
        }
        i_ += n;
        return true;
    }
    bool ParseString(std::string& out) {
        if (i_ >= s_.size() || s_[i_] != '"') {
            return false;
        }
        ++i_;
        while (i_ < s_.size() && s_[i_] != '"') {
            unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (c < 0x20) {
                return false;
            }
            if (c == '\\') {
                if (++i_ >= s_.size()) {
                    return false;
                }
                char e = s_[i_];
                if (e == 'u') {
                    if (i_ + 4 >= s_.size()) {
                        return false;
                    }
                    out += char(std::stoi(s_.substr(i_ + 1, 4), nullptr, 16));
                    i_ += 4;
                } else if (e == 'n') {
                    out += '\n';
                } else if (e == 't') {
                    out += '\t';
                } else if (e == 'r') {
                    out += '\r';
                } else if (e == '"' || e == '\\' || e == '/') {
                    out += e;
                } else {
                    return false;
                }
                ++i_;
            } else {
                out += char(c);
                ++i_;
            }
        }
        if (i_ >= s_.size()) {
            return false;
        }
        ++i_;
        return true;
    }
    bool ParseValue(Value& v) {
        Space();
        if (i_ >= s_.size()) {
            return false;
        }
        char c = s_[i_];
        if (c == '{') {
            v.kind = Value::Object;
            ++i_;
            Space();
            if (i_ < s_.size() && s_[i_] == '}') {
                ++i_;
                return true;
            }
            for (;;) {
                Space();
                std::string key;
                if (!ParseString(key) || v.fields.count(key)) {
                    return false;
                }
                Space();
                if (i_ >= s_.size() || s_[i_++] != ':') {
                    return false;
                }
                if (!ParseValue(v.fields[key])) {
                    return false;
                }
                Space();
                if (i_ < s_.size() && s_[i_] == ',') {
                    ++i_;
                    continue;
                }
                if (i_ < s_.size() && s_[i_] == '}') {
                    ++i_;
                    return true;
                }
                return false;
            }
        }
        if (c == '[') {
            v.kind = Value::Array;
            ++i_;
            Space();
            if (i_ < s_.size() && s_[i_] == ']') {
                ++i_;
                return true;
            }
            for (;;) {
                v.items.emplace_back();
                if (!ParseValue(v.items.back())) {
                    return false;
                }
                Space();
                if (i_ < s_.size() && s_[i_] == ',') {
                    ++i_;
                    continue;
                }
                if (i_ < s_.size() && s_[i_] == ']') {
                    ++i_;
                    return true;
                }
                return false;
            }
        }
        if (c == '"') {
            v.kind = Value::String;
            return ParseString(v.text);
        }
        if (Lit("true")) {
            v.kind = Value::Bool;
            v.b = true;
            return true;
        }
        if (Lit("false")) {
            v.kind = Value::Bool;
            return true;
        }
        if (Lit("null")) {
            return true;
        }
        size_t start = i_;
        if (i_ < s_.size() && s_[i_] == '-') {
            ++i_;
        }
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') {
            ++i_;
        }
        if (i_ == start || (s_[start] == '-' && i_ == start + 1)) {
            return false;
        }
        v.kind = Value::Number;
        v.text = s_.substr(start, i_ - start);
        return true;
    }

    const std::string& s_;
    size_t i_ = 0;
};

// Every line of the file as an object; `ok` is false when a line is not a JSON object.
inline std::vector<Value> ReadTrace(const std::string& path, bool& ok, std::string& bad) {
    std::vector<Value> records;
    std::ifstream f(path);
    std::string line;
    ok = true;
    while (std::getline(f, line)) {
        Value v;
        Parser p(line);
        if (!p.Parse(v) || v.kind != Value::Object) {
            ok = false;
            bad = line;
            return records;
        }
        records.push_back(v);
    }
    return records;
}

// The flat view: strings unescaped, numbers and booleans as written, arrays as "[a,b,...]".
using Record = std::map<std::string, std::string>;

inline std::string TextOf(const Value& v) {
    switch (v.kind) {
    case Value::Bool:
        return v.b ? "true" : "false";
    case Value::Null:
        return "null";
    case Value::Array: {
        std::string s = "[";
        for (size_t i = 0; i < v.items.size(); ++i) {
            s += (i == 0 ? "" : ",") + TextOf(v.items[i]);
        }
        return s + "]";
    }
    default:
        return v.text;
    }
}

inline std::vector<Record> ReadTrace(const std::string& path) {
    bool ok = false;
    std::string bad;
    std::vector<Record> out;
    for (const Value& v : ReadTrace(path, ok, bad)) {
        Record r;
        for (const auto& kv : v.fields) {
            r[kv.first] = TextOf(kv.second);
        }
        out.push_back(r);
    }
    EXPECT_TRUE(ok) << "not a JSON object: " << bad;
    return out;
}

// The value of a field, or "<missing>".
inline std::string Field(const Record& r, const std::string& key) {
    auto it = r.find(key);
    return it == r.end() ? std::string("<missing>") : it->second;
}

} // namespace tracetest
