// `cimhost passwd`: the one way users get into serve's password file, so that
// nobody has to write a hash by hand.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "Serve.h"
#include "server/Passwords.h"

namespace cimhost {
namespace {

// One line from the terminal with echo off; false at end of input.
bool askSilently(const char* prompt, std::string* out) {
    fprintf(stderr, "%s", prompt);
    termios saved;
    const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool got = static_cast<bool>(std::getline(std::cin, *out));
    if (terminal) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    fprintf(stderr, "\n");
    return got;
}

}  // namespace

int passwdCommand(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr,
                "usage: cimhost passwd FILE USER   (the password from the terminal, or one line of stdin)\n");
        return 2;
    }
    std::string password;
    if (isatty(STDIN_FILENO)) {
        std::string again;
        if (!askSilently("New password: ", &password) || !askSilently("Again: ", &again)) return 1;
        if (password != again) {
            fprintf(stderr, "cimhost passwd: the passwords differ; nothing changed\n");
            return 1;
        }
    } else if (!std::getline(std::cin, password)) {
        fprintf(stderr, "cimhost passwd: no password on stdin\n");
        return 1;
    }
    std::string error;
    if (!server::Passwords::set(argv[1], argv[2], password, &error)) {
        fprintf(stderr, "cimhost passwd: %s\n", error.c_str());
        return 1;
    }
    fprintf(stderr, "cimhost passwd: %s set in %s\n", argv[2], argv[1]);
    return 0;
}

}  // namespace cimhost
