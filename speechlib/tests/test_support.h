// Helpers shared by the speechlib tests: scoped environment variables and a
// temporary directory that is removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Sets (or, with null, unsets) an environment variable for the life of the object.
class scoped_env {
public:
    scoped_env(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) {
            old_ = old;
            had_ = true;
        }
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~scoped_env() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    scoped_env(const scoped_env&) = delete;
    scoped_env& operator=(const scoped_env&) = delete;

private:
    std::string name_, old_;
    bool had_ = false;
};

// A fresh directory under /tmp, removed with everything in it.
class temp_dir {
public:
    temp_dir() {
        char pattern[] = "/tmp/speechlib_test_XXXXXX";
        if (mkdtemp(pattern) != nullptr) path_ = pattern;
    }
    ~temp_dir() {
        if (!path_.empty()) std::filesystem::remove_all(path_);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Creates an empty file (and its parent directories) under the directory.
    std::string touch(const std::string& name) const {
        const std::string full = file(name);
        std::filesystem::create_directories(std::filesystem::path(full).parent_path());
        std::ofstream(full).put('x');
        return full;
    }

private:
    std::string path_;
};

inline std::vector<std::uint8_t> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
