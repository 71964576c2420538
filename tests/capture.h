// Redirects a file descriptor (standard output or error) into a temporary
// file, to see what the plug-in writes there.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

class Capture {
public:
    explicit Capture(int fd) : fd_(fd), file_(std::tmpfile()) {
        std::fflush(nullptr);
        saved_ = dup(fd_);
        dup2(fileno(file_), fd_);
    }
    ~Capture() {
        if (file_) text();
    }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    // Ends the capture and returns what was written.
    std::string text() {
        if (!file_) return "";
        std::fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        std::string out;
        std::rewind(file_);
        for (int c; (c = std::fgetc(file_)) != EOF;) out += static_cast<char>(c);
        std::fclose(file_);
        file_ = nullptr;
        return out;
    }

private:
    int fd_, saved_;
    FILE *file_;
};
