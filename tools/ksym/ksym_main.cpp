// ksym: the command-line tool for a controller's variables, through KSymbol.
#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "extern/kclient.h"
#include "tools/ksym/options.h"
#include "tools/ksym/verbs.h"

int main(int argc, char** argv) {
    ksymtool::Options options;
    CLI::App app{"ksym: symbolic access to a controller's variables"};
    // The common options may also follow the verb.
    app.fallthrough();
    app.require_subcommand(0, 1);
    app.add_option("--station", options.station,
                   "station address: sim, sim:OPTIONS (default: the embedded simulator)");
    app.add_flag("--debug", options.debug, "show the library's debug lines on stderr");
    app.add_flag("--json", options.json, "print JSON for scripts");
    app.add_option("--timeout", options.timeoutMs,
                   "milliseconds to wait for each answer of the controller (default 5000)")
        ->check(CLI::Range(1u, 600000u));

    std::string prefix;
    CLI::App* symbols = app.add_subcommand("symbols", "list the symbols of the station's project");
    symbols->add_option("PREFIX", prefix, "only names that begin with this (any case)");

    std::vector<std::string> readNames;
    CLI::App* read = app.add_subcommand("read", "read variables once and show their values");
    read->add_option("NAME", readNames, "symbol names or direct addresses (%MW4, %IX1.2)")
        ->required();

    std::vector<std::string> assignments;
    bool verify = false;
    CLI::App* write = app.add_subcommand("write", "write new values to variables");
    write->add_option("NAME=VALUE", assignments, "variables and their new values")->required();
    write->add_flag("--verify", verify, "read the variables back and show them as read does");

    std::vector<std::string> watchNames;
    ksymtool::WatchOptions watchOptions;
    CLI::App* watch = app.add_subcommand(
        "watch", "read variables every interval until Ctrl-C, a count or a duration; a broken "
                 "connection is reported on stderr and mended");
    watch->add_option("NAME", watchNames, "symbol names or direct addresses")->required();
    watch->add_option("--interval", watchOptions.intervalMs, "milliseconds between reads (min 10)")
        ->check(CLI::Range(10u, 86400000u));
    watch->add_option("--count", watchOptions.count, "stop after this many reads (0: never)");
    watch
        ->add_option("--duration", watchOptions.durationSeconds,
                     "stop after this many seconds (0: never)")
        ->check(CLI::Range(0.0, 31536000.0));
    watch->add_flag("--changes", watchOptions.changes,
                    "after the first read, print only the values that changed");
    watch->add_option("--format", watchOptions.format,
                      "table (default), csv or jsonl (--json: jsonl); every record has the time "
                      "of its read, ISO 8601 UTC with milliseconds");

#ifdef KSYM_WITH_SERVE
    ksymtool::ServeOptions serveOptions;
    CLI::App* serve = app.add_subcommand(
        "serve", "serve the variables in a browser page and a JSON interface until Ctrl-C or "
                 "SIGTERM; it prints 'ksym serving http://HOST:PORT/' when ready");
    serve->add_option("--listen", serveOptions.listen,
                      "HOST:PORT to listen on (default 127.0.0.1:8080; port 0 picks a free one); "
                      "loopback only unless --allow-remote");
    serve->add_flag("--read-only", serveOptions.readOnly, "refuse every write (403)");
    serve->add_flag("--allow-remote", serveOptions.allowRemote,
                    "allow a --listen host beyond loopback; every request then needs the "
                    "server's token, which it makes at start and prints in its address");
    serve->add_option("--token-file", serveOptions.tokenFile,
                      "beyond loopback: the token is the first line of this file (16 to 256 "
                      "printable characters) instead of one made at start");
#endif

    CLI::App* info = app.add_subcommand("info", "show the controller's project identification");
    CLI::App* login = app.add_subcommand("login", "log in to the controller");
    CLI::App* logout = app.add_subcommand("logout", "log out of the controller");

    CLI11_PARSE(app, argc, argv);
    if (options.debug) {
        KClientSetDebugTarget("stderr");
    }
    if (symbols->parsed()) {
        return ksymtool::RunSymbols(options, prefix);
    }
    if (read->parsed()) {
        return ksymtool::RunRead(options, readNames);
    }
    if (write->parsed()) {
        return ksymtool::RunWrite(options, assignments, verify);
    }
    if (watch->parsed()) {
        return ksymtool::RunWatch(options, watchNames, watchOptions);
    }
#ifdef KSYM_WITH_SERVE
    if (serve->parsed()) {
        return ksymtool::RunServe(options, serveOptions);
    }
#endif
    if (info->parsed()) {
        return ksymtool::RunInfo(options);
    }
    if (login->parsed()) {
        return ksymtool::RunLogin(options);
    }
    if (logout->parsed()) {
        return ksymtool::RunLogout(options);
    }
    return ksymtool::RunHello(options);
}
