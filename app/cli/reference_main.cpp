// mhost-reference TOPIC: prints a reference text made from mhost's tables
// (see cli/reference.hpp); with no topic, the list of topics. A build tool,
// not installed.
#include "cli/reference.hpp"
#include "support/errors.hpp"

#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: mhost-reference TOPIC (topics:";
        for (const std::string& topic : mhost::referenceTopics())
            std::cerr << ' ' << topic;
        std::cerr << ")\n";
        return mhost::kExitBadInput;
    }
    try {
        mhost::writeReference(argv[1], std::cout);
    } catch (const mhost::Failure& failure) {
        std::cerr << "mhost-reference: " << failure.what() << '\n';
        return failure.code();
    }
    return mhost::kExitOk;
}
