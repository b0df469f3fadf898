// Prints every response of the radar core to a corpus, for comparing builds
// of the core byte for byte (.ci/crossarch).
//
// The corpus is read line by line:
//   # text       echoed, to name the case in a diff
//   spec TEXT    a new radar from the specification TEXT (its error if refused)
//   cmd TEXT     the response of the current radar to the command TEXT
// Every line of output is one of these, in corpus order.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/handle.hpp"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char** argv) {
#if defined(_WIN32)
    // Text mode would write "\r\n": the bytes compared must be the core's own.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (argc != 2) {
        std::cerr << "usage: corpus_driver CORPUS\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cerr << "corpus_driver: cannot read " << argv[1] << "\n";
        return 2;
    }
    std::unique_ptr<radar::Handle> handle;
    std::string line, out;
    size_t line_no = 0;
    while (std::getline(in, line)) {
        ++line_no;
        std::string_view text(line);
        if (text.empty()) continue;
        if (text.substr(0, 2) == "# ") {
            out.append(text).push_back('\n');
        } else if (text.substr(0, 5) == "spec ") {
            auto created = radar::Handle::create(text.substr(5));
            if (created) {
                handle = std::move(created.value());
                out += "spec ok\n";
            } else {
                handle.reset();
                out += "spec refused: " + created.error().render() + "\n";
            }
        } else if (text.substr(0, 4) == "cmd ") {
            if (!handle) {
                std::cerr << "corpus_driver: line " << line_no << ": a command before any accepted spec\n";
                return 2;
            }
            out += radar::run_command(*handle, text.substr(4));
            out.push_back('\n');
        } else {
            std::cerr << "corpus_driver: line " << line_no << ": unknown line\n";
            return 2;
        }
        if (out.size() >= (1u << 16)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
