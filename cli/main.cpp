// kestorctl: the driver from the command line.
#include <CLI/CLI.hpp>

#include <iostream>

#include "KestorFPrt.h"

int main(int argc, char** argv) {
    CLI::App app{"kestorctl: drives a KESTOR fiscal register through libkestor"};
    app.require_subcommand(1);

    auto* version = app.add_subcommand("version", "print the driver's version");
    version->callback([] {
        const TKestorFPrt driver;
        std::cout << "libkestor " << kest::ToUtf8(driver.Version()) << '\n';
    });

    CLI11_PARSE(app, argc, argv);
    return 0;
}
