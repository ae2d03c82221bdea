// cimhost: the embedded CIM object manager. `inspect` shows what a provider
// module serves; `watch` hosts the providers of a registration file, subscribes
// a listener and prints the indications the CIMOM delivers to it; `listen` is
// a CIM-XML listener that prints the indications a CIMOM posts to it;
// `client` calls the registration service of any CIMOM.
//
// Every command is one row of kCommands: its name, its usage, its help and the
// function that parses the rest of its command line and runs it. --help and -h
// anywhere after a command show that command's help; misuse of a command line
// exits 2 with that command's usage.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Client.h"
#include "Inspect.h"
#include "Listen.h"
#include "Serve.h"
#include "Watch.h"

namespace {

using Args = std::vector<std::string>;

// What is wrong with a command line; the row's usage follows it.
struct Misuse {
    std::string problem;
};

struct Command {
    const char* name;
    const char* arguments;         // after the name, as the usage line shows them
    const char* summary;           // one line for the overview
    const char* help;              // what it does and its options
    int (*run)(const Args& args);  // throws Misuse
};

bool number(const std::string& text, unsigned& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text.c_str(), &end, 10);
    if (errno || !end || *end || text.empty() || text[0] == '-' || value > 0xFFFFFFFFul) return false;
    out = static_cast<unsigned>(value);
    return true;
}

int inspectCommand(const Args& args) {
    if (args.size() != 1) throw Misuse{args.empty() ? "which module?" : "one module at a time"};
    return cimhost::inspect(args[0].c_str());
}

int watchCommand(const Args& args) {
    if (args.empty() || args[0].rfind("--", 0) == 0) throw Misuse{"which registration file?"};
    cimhost::WatchOptions options;
    options.providersFile = args[0];
    for (size_t i = 1; i < args.size(); i += 2) {
        const std::string& flag = args[i];
        if (flag == "--fresh-store") {
            options.freshStore = true;
            --i;
            continue;
        }
        if (i + 1 >= args.size()) throw Misuse{flag + " needs a value"};
        const std::string& value = args[i + 1];
        if (flag == "--library-path")
            options.libraryPath.push_back(value);
        else if (flag == "--query")
            options.query = value;
        else if (flag == "--namespace")
            options.sourceNamespace = value;
        else if (flag == "--destination")
            options.destination = value;
        else if (flag == "--store")
            options.storeFile = value;
        else if (flag == "--log")
            options.deliveryLog = value;
        else if (flag == "--export-cacert")
            options.exportCaFile = value;
        else if (flag == "--show") {
            if (value != "line" && value != "full")
                throw Misuse{"--show takes line or full, not \"" + value + "\""};
            options.show =
                value == "line" ? cimhost::WatchOptions::Show::line : cimhost::WatchOptions::Show::full;
        } else if (flag == "--count" || flag == "--seconds") {
            if (!number(value, flag == "--count" ? options.count : options.seconds))
                throw Misuse{flag + " takes a whole number, not \"" + value + "\""};
        } else
            throw Misuse{"unknown option " + flag};
    }
    return cimhost::watch(options);
}

int listenRow(const Args& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    const int code = cimhost::listenCommand(static_cast<int>(argv.size()), argv.data());
    if (code == 2) throw Misuse{"options not understood"};
    return code;
}

// Commands that read their own command line (argv[0] their name) and print
// their own usage on misuse.
int withName(const char* name, int (*command)(int, char**), const Args& args) {
    std::vector<char*> argv = {const_cast<char*>(name)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    return command(static_cast<int>(argv.size()), argv.data());
}

int serveRow(const Args& args) { return withName("serve", cimhost::serveCommand, args); }
int passwdRow(const Args& args) { return withName("passwd", cimhost::passwdCommand, args); }

int clientRow(const Args& args) { return withName("client", cimhost::clientCommand, args); }

const Command kCommands[] = {
    {"inspect", "MODULE.so", "list what a provider module serves",
     "Loads the module as a CIMOM does and lists its providers, the classes they serve with\n"
     "their keys, properties, references and methods, and the CMPI interfaces each exports.\n"
     "An administrator's check that an installed module loads. MODULE.so may be a bare file\n"
     "name in the current directory.\n",
     inspectCommand},
    {"watch",
     "PROVIDERS [--library-path DIR]... [--query WQL] [--namespace NS]\n"
     "                     [--destination URL] [--store FILE [--fresh-store]] [--log FILE.jsonl]\n"
     "                     [--count N] [--seconds S] [--show line|full] [--export-cacert PEM]",
     "host providers, subscribe and print the indications delivered",
     "Hosts the providers of the registration file PROVIDERS, subscribes a listener to the\n"
     "query as a client does, and prints every indication delivered until SIGINT or SIGTERM\n"
     "or a limit; then unsubscribes. When the agent cannot be reached, says why.\n"
     "  --library-path DIR  where provider libraries are looked for (repeatable)\n"
     "  --query WQL         the filter's query (default SELECT * FROM QMS_VRXLogEntryArrived)\n"
     "  --namespace NS      the filter's source namespace (default root/qms)\n"
     "  --destination URL   the listener destination's URL\n"
     "  --store FILE        keep filters and subscriptions in FILE (default: in memory)\n"
     "  --fresh-store       when FILE is damaged, set it aside (FILE.damaged.N) and begin empty\n"
     "  --log FILE.jsonl    write every delivery to FILE.jsonl as JSON lines\n"
     "  --count N           stop after N indications\n"
     "  --seconds S         stop after S seconds\n"
     "  --show line|full    a readable line per indication (default), or the whole instance\n"
     "  --export-cacert PEM the certificates an https destination's must chain to\n"
     "                      (default: the system's trusted certificates)\n",
     watchCommand},
    {"listen", "[--port N] [--bind ADDR] [--json] [--out FILE]",
     "a CIM-XML listener that prints what it receives",
     "Answers the ExportIndication requests a CIMOM posts and prints one readable line per\n"
     "indication (time, severity, class, message, source), or with --json one JSON object.\n"
     "Gaps, repeats and late arrivals in each sender's sequence numbers and every refused\n"
     "request are reported on stderr. Runs until SIGINT or SIGTERM, then prints its counts.\n"
     "  --port N     the port (default 5988; 0: any free one, printed at start)\n"
     "  --bind ADDR  the address to listen on (default 127.0.0.1, this machine only)\n"
     "  --json       JSON lines instead of readable lines\n"
     "  --out FILE   append to FILE instead of standard output\n",
     listenRow},
    {"serve", cimhost::kServeArguments, "offer the CIMOM to CIM-XML clients over HTTP(S)",
     cimhost::kServeHelp, serveRow},
    {"passwd", "FILE USER", "add a user to serve's password file, or change its password",
     "Adds USER to the password file FILE of cimhost serve, or gives it a new password (salted\n"
     "PBKDF2-HMAC-SHA256). The password is asked for twice without echo on a terminal, else read\n"
     "as one line from standard input.\n",
     passwdRow},
    {"client", cimhost::kClientArguments, "call the registration service of any CIMOM over CIM-XML",
     cimhost::kClientHelp, clientRow},
};

bool isHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

void overview(FILE* out) {
    const char* lead = "usage:";
    for (const Command& c : kCommands) {
        fprintf(out, "%s cimhost %s %s\n", lead, c.name, c.arguments);
        lead = "      ";
    }
    fprintf(out, "       cimhost --version\nThe embedded CIM object manager.\n");
    for (const Command& c : kCommands) fprintf(out, "  %-10s %s\n", c.name, c.summary);
    fprintf(out, "`cimhost COMMAND --help` shows a command's options.\n");
}

int version() {
#ifdef QMS_TEST_BUILD
    printf("cimhost %s (test build: system paths under $QMS_TEST_ROOT)\n", QMS_VERSION);
#else
    printf("cimhost %s\n", QMS_VERSION);
#endif
    return 0;
}

int run(const Command& c, const Args& args) {
    for (const std::string& a : args) {
        if (isHelp(a)) {
            printf("usage: cimhost %s %s\n%s", c.name, c.arguments, c.help);
            return 0;
        }
    }
    try {
        return c.run(args);
    } catch (const Misuse& m) {
        fprintf(stderr, "cimhost %s: %s\nusage: cimhost %s %s\n", c.name, m.problem.c_str(), c.name,
                c.arguments);
        return 2;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string name = argc >= 2 ? argv[1] : "";
    if (isHelp(name)) {
        overview(stdout);
        return 0;
    }
    if (name == "--version") return version();
    for (const Command& c : kCommands)
        if (name == c.name) return run(c, Args(argv + 2, argv + argc));
    fprintf(stderr, "cimhost: %s\n",
            name.empty() ? "which command?" : ("unknown command \"" + name + "\"").c_str());
    overview(stderr);
    return 2;
}
