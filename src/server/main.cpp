#include <cstdio>
#include <cstring>

// The server itself comes with the session layer; for now the executable
// tells how it will be started.
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("brinmoor %s\n", BRINMOOR_VERSION);
            return 0;
        }
    }
    std::printf("Usage: brinmoor [--port N]\n");
    return 0;
}
