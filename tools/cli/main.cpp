#include "ServeCommand.h"
#include "ServeTarget.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <stdexcept>

using namespace quillhaven::cli;

namespace {

int usageError(const std::string& reason) {
    std::cerr << "quillhaven-cli: " << reason << "\n"
              << "usage: quillhaven-cli serve [--port N] [--read-only] [--identity FILE] TARGET\n"
              << "Run 'quillhaven-cli serve --help' for more." << std::endl;
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"quillhaven-cli: serve an SQLite database that lives on another machine to "
                 "PostgreSQL clients on a local port."};
    app.name("quillhaven-cli");
    app.require_subcommand(1);

    ServeOptions options;
    std::string targetText;
    auto* serve = app.add_subcommand(
        "serve", "Listen on a local port and run every statement on TARGET, in the foreground "
                 "until Ctrl-C or SIGTERM.");
    serve->add_option("--port", options.port, "Local TCP port to listen on (all IPv4 interfaces)")
        ->default_val(5432)
        ->check(CLI::Range(1, 65535));
    serve->add_flag("--read-only", options.readOnly,
                    "Refuse every statement that is not a query; the database file is opened "
                    "read-only");
    serve
        ->add_option("--identity", options.identityFile,
                     "ssh targets: private key file (otherwise the ssh-agent, then a password "
                     "from the terminal or QUILLHAVEN_SSH_PASSWORD)")
        ->check(CLI::ExistingFile);
    serve
        ->add_option("TARGET", targetText,
                     "A local SQLite file, fly://APP/ABSOLUTE/PATH, or "
                     "ssh://[USER@]HOST[:PORT]/ABSOLUTE/PATH")
        ->required();

    try {
        app.parse(argc, argv);
        options.target = parseServeTarget(targetText);
    } catch (const CLI::Success& e) {
        return app.exit(e); // --help: prints the help of the command asked about
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    } catch (const std::invalid_argument& e) {
        return usageError(e.what());
    }
    return runServe(options);
}
