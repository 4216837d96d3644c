#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <dirent.h>
#include <unistd.h>

// One scratch folder per fuzzing process, reused by every input and removed at exit. tmpfs where there is one:
// the code under test syncs its files, and a sync on a disk would slow every input down to a few hundred a second.
inline const std::string& scratchDir() {
    static const std::string dir = [] {
        // scripts/fuzz names a parent of its own and removes it afterwards, also when a crash skipped the cleanup.
        const char* parent = std::getenv("IMPULZ_FUZZ_TMPDIR");
        std::string templ = parent && *parent               ? std::string(parent)
                            : access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                            : "/tmp";
        templ += "/impulz-fuzz.XXXXXX";
        if (!mkdtemp(templ.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        static std::string removeAtExit;
        removeAtExit = templ;
        std::atexit([] {
            // The folder is flat: only the files the targets write, and the writers' own temporary files.
            if (DIR* d = opendir(removeAtExit.c_str())) {
                while (const dirent* e = readdir(d)) {
                    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                        unlink((removeAtExit + "/" + e->d_name).c_str());
                }
                closedir(d);
            }
            rmdir(removeAtExit.c_str());
        });
        return templ;
    }();
    return dir;
}

// Replaces the file's content with exactly these bytes.
inline void writeBytes(const std::string& path, const void* data, std::size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || (size && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}
