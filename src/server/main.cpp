#include "server/server.h"

int main(int argc, char** argv) {
    return brinmoor::ServerMain(argc, argv);
}
