// Stands in for pkexec in tests that run Velkor as an ordinary user. Installed setuid root by
// the test, it does what pkexec does for the outcome its file name asks for:
//   pkexec-accept        the user authenticates at once
//   pkexec-answer-later  the prompt stays open until the file "prompt-answered" appears beside it
//   pkexec-hang          the prompt stays open
//   pkexec-no-agent      no authentication agent: status 127
//   pkexec-decline       the user dismisses the prompt: status 126
// While "the prompt is open" it runs with the asking user's real user id, as pkexec does, so the
// user can end it; once "authenticated" it becomes root wholly and runs the program.
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <string>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 127;
    const std::string self = argv[0];
    const std::string folder = self.substr(0, self.rfind('/'));
    const std::string::size_type dash = self.rfind("pkexec-");
    const std::string outcome = dash == std::string::npos ? std::string() : self.substr(dash + 7);

    if (outcome == "no-agent") {
        std::fputs("Error creating textual authentication agent: Error opening current controlling terminal for the process "
                   "(`/dev/tty'): No such device or address (g-io-error-quark, 6)\n",
                   stderr);
        return 127;
    }
    if (outcome == "decline") {
        std::fputs("Error executing command as another user: Request dismissed\n\nThis incident has been reported.\n", stderr);
        return 126;
    }

    if (FILE* open = std::fopen((folder + "/prompt-open").c_str(), "w")) {
        std::fprintf(open, "%d\n", int(getpid()));
        std::fclose(open);
    }
    if (outcome == "hang") {
        for (;;)
            pause();
    }
    if (outcome == "answer-later") {
        while (access((folder + "/prompt-answered").c_str(), F_OK) != 0)
            usleep(20000);
    }

    const uid_t user = getuid();
    if (setgroups(0, nullptr) != 0 || setresgid(0, 0, 0) != 0 || setresuid(0, 0, 0) != 0) {
        std::perror("stand-in pkexec");
        return 127;
    }
    clearenv();
    setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
    setenv("PKEXEC_UID", std::to_string(user).c_str(), 1);
    if (chdir("/") != 0)
        return 127;
    execv(argv[1], argv + 1);
    std::perror("stand-in pkexec");
    return 127;
}
