#pragma once

// A fresh folder under the system's temporary one, removed with its files,
// and the few file helpers the log's tests need.
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace QuorvaneTest {

class TemporaryFolder {
public:
    TemporaryFolder() {
        char name[] = "/tmp/quorvane-log-test-XXXXXX";
        path_ = ::mkdtemp(name) != nullptr ? name : "";
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    ~TemporaryFolder() {
        if (!path_.empty()) {
            std::system(("rm -rf '" + path_ + "'").c_str());
        }
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    bool made() const { return !path_.empty(); }

private:
    std::string path_;
};

inline std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

}  // namespace QuorvaneTest
