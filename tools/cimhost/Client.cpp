// The registration service's client: finds the service's one instance in
// its namespace and calls its methods, telling a script by the exit status
// and a person by the words what came of it.
#include "Client.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "client/CimClient.h"

namespace cimhost {

const char kClientArguments[] =
    "[--url URL] [--namespace NS] [--user NAME [--password-file FILE]]\n"
    "                      [--cacert FILE] [--insecure] COMMAND";
const char kClientHelp[] =
    "Calls the registration service of the CIMOM at URL over CIM-XML. Commands:\n"
    "  register --destination URL [--tag TAG] [--query WQL]   register a CIM-XML listener\n"
    "  list                                                   show the registrations\n"
    "  unregister --handle HANDLE | --tag TAG                 remove registrations\n"
    "  test                                                   send a test indication\n"
    "URL defaults to http://localhost:5988, NS to root/qms; without --password-file the\n"
    "password is asked for. --insecure skips the check of an https server's certificate.\n"
    "Exit status: 0 done, 1 the CIMOM or the service refused, 2 bad usage, 3 no CIMOM\n"
    "answered or it refused the credentials.\n";

namespace {

void usage(FILE* out) { std::fprintf(out, "usage: cimhost client %s\n%s", kClientArguments, kClientHelp); }

using client::Failure;
using client::Parameter;

enum Exit { kDone = 0, kRefused = 1, kUsage = 2, kUnreachable = 3 };

const char kServiceClass[] = "QMS_VRXIndicationRegistrationService";

// What the service's return values mean (the same for every method).
const char* returnMeaning(const std::string& method, const std::string& value) {
    if (value == "0") return "done";
    if (value == "1")
        return method == "SendTestIndication" ? "no test indication was sent (are indications enabled?)"
                                              : "the service refused the input";
    if (value == "2") return "the service could not do it";
    if (value == "3") return "no registration matched";
    return "unknown answer";
}

std::string readPassword(const std::string& file, bool* ok) {
    *ok = true;
    std::string password;
    if (!file.empty()) {
        std::ifstream in(file);
        if (!in || !std::getline(in, password)) {
            std::fprintf(stderr, "cimhost client: cannot read a password from %s\n", file.c_str());
            *ok = false;
        }
        return password;
    }
    // Asked on the terminal without echo.
    std::fprintf(stderr, "password: ");
    termios old{};
    const bool tty = tcgetattr(STDIN_FILENO, &old) == 0;
    if (tty) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    char line[1024];
    if (!std::fgets(line, sizeof line, stdin)) *ok = false;
    if (tty) tcsetattr(STDIN_FILENO, TCSANOW, &old);
    std::fprintf(stderr, "\n");
    password = *ok ? line : "";
    while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) password.pop_back();
    return password;
}

int failed(const char* what, const Failure& f) {
    std::fprintf(stderr, "cimhost client: %s: %s\n", what, f.text.c_str());
    switch (f.kind) {
        case Failure::kBadUrl:
            return kUsage;
        case Failure::kConnection:
        case Failure::kAuthentication:
            return kUnreachable;
        default:
            return kRefused;
    }
}

struct Command {
    std::vector<Parameter> in;
    std::string method;
};

// Flags of a subcommand: every one takes a value.
bool flags(int argc, char** argv, int from, const std::vector<std::string>& known,
           std::map<std::string, std::string>* out) {
    for (int i = from; i < argc; i += 2) {
        if (i + 1 >= argc || std::find(known.begin(), known.end(), argv[i]) == known.end()) return false;
        (*out)[argv[i]] = argv[i + 1];
    }
    return true;
}

Parameter stringParameter(const char* name, const std::string& text) {
    Parameter p;
    p.name = name;
    p.type = "string";
    p.text = text;
    return p;
}

}  // namespace

int clientCommand(int argc, char** argv) {
    client::Options options;
    std::string nameSpace = "root/qms";
    std::string passwordFile;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            usage(stdout);
            return kDone;
        }
        if (flag == "--insecure") {
            options.verifyPeer = false;
            continue;
        }
        if (i + 1 >= argc) break;
        const char* value = argv[++i];
        if (flag == "--url")
            options.url = value;
        else if (flag == "--namespace")
            nameSpace = value;
        else if (flag == "--user")
            options.user = value;
        else if (flag == "--password-file")
            passwordFile = value;
        else if (flag == "--cacert")
            options.caFile = value;
        else
            i = argc;
    }
    if (i >= argc) {
        usage(stderr);
        return kUsage;
    }
    const std::string command = argv[i];
    std::map<std::string, std::string> given;
    Command call;
    if (command == "register" && flags(argc, argv, i + 1, {"--destination", "--tag", "--query"}, &given) &&
        given.count("--destination")) {
        call.method = "RegisterCIMXMLIndication";
        const auto query = given.find("--query");
        call.in = {stringParameter("Query", query == given.end() ? "SELECT * FROM QMS_VRXLogEntryArrived"
                                                                 : query->second),
                   stringParameter("EventReceiver", given["--destination"]),
                   stringParameter("Tag", given["--tag"])};
        Parameter type;
        type.name = "QueryType";
        type.type = "uint16";
        type.text = "0";
        call.in.push_back(type);
    } else if (command == "list" && i + 1 == argc) {
        call.method = "ListRegistrations";
    } else if (command == "test" && i + 1 == argc) {
        call.method = "SendTestIndication";
    } else if (command == "unregister" && flags(argc, argv, i + 1, {"--handle", "--tag"}, &given) &&
               given.size() == 1) {
        if (given.count("--handle")) {
            call.method = "UnRegisterIndication";
            call.in = {stringParameter("RegistrationHandle", given["--handle"])};
        } else {
            call.method = "UnRegisterIndicationsByTag";
            call.in = {stringParameter("Tag", given["--tag"])};
        }
    } else {
        usage(stderr);
        return kUsage;
    }

    if (!options.user.empty()) {
        bool ok = false;
        options.password = readPassword(passwordFile, &ok);
        if (!ok) return kUsage;
    }
    client::CimClient cim(options);
    std::vector<client::InstanceName> services;
    Failure failure;
    if (!cim.enumerateInstanceNames(nameSpace, kServiceClass, &services, &failure))
        return failed(("finding the registration service in " + nameSpace).c_str(), failure);
    if (services.size() != 1) {
        std::fprintf(stderr,
                     "cimhost client: %zu instances of %s in %s, expected one (is the module installed?)\n",
                     services.size(), kServiceClass, nameSpace.c_str());
        return kRefused;
    }
    client::MethodResult result;
    if (!cim.invokeMethod(nameSpace, services[0], call.method, call.in, &result, &failure))
        return failed(call.method.c_str(), failure);

    const std::string rv = result.returnValue.text;
    if (rv != "0") {
        std::fprintf(stderr, "cimhost client: %s answered %s: %s\n", call.method.c_str(),
                     rv.empty() ? "nothing" : rv.c_str(), returnMeaning(call.method, rv));
        return kRefused;
    }
    if (call.method == "RegisterCIMXMLIndication") {
        const auto handle = result.outputs.find("RegistrationHandle");
        std::printf("%s\n", handle == result.outputs.end() ? "" : handle->second.text.c_str());
    } else if (call.method == "ListRegistrations") {
        const auto handles = result.outputs.find("RegistrationHandles");
        const auto tags = result.outputs.find("Tags");
        const size_t n = handles == result.outputs.end() ? 0 : handles->second.items.size();
        for (size_t k = 0; k < n; ++k) {
            const auto& handle = handles->second.items[k];
            const bool tagged = tags != result.outputs.end() && k < tags->second.items.size() &&
                                tags->second.items[k] && !tags->second.items[k]->empty();
            std::printf("%s%s%s\n", handle ? handle->c_str() : "", tagged ? "\ttag=" : "",
                        tagged ? tags->second.items[k]->c_str() : "");
        }
        if (n == 0) std::fprintf(stderr, "no registrations\n");
    } else {
        std::fprintf(stderr, "%s: %s\n", call.method.c_str(), returnMeaning(call.method, rv));
    }
    return kDone;
}

}  // namespace cimhost
