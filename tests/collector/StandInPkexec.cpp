// Stands in for pkexec, installed setuid root by the test. With a file "no-agent" beside it, it
// fails as pkexec does without an authentication agent. Else it writes its process id into
// "prompt-open" beside it and waits, keeping the user's real user id as pkexec does (so the user
// can end it), until "prompt-answered" appears there; then it becomes root wholly and runs the program.
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <string>
#include <unistd.h>

int main(int argc, char** argv)
{
    const std::string folder = std::string(argv[0]).substr(0, std::string(argv[0]).rfind('/'));
    if (argc < 2 || access((folder + "/no-agent").c_str(), F_OK) == 0) {
        std::fputs("Error creating textual authentication agent: no controlling terminal (g-io-error-quark, 6)\n", stderr);
        return 127;
    }
    if (FILE* open = std::fopen((folder + "/prompt-open").c_str(), "w"); open && std::fprintf(open, "%d\n", int(getpid())) > 0)
        std::fclose(open);
    while (access((folder + "/prompt-answered").c_str(), F_OK) != 0)
        usleep(20000);
    const std::string user = std::to_string(getuid());
    if (setgroups(0, nullptr) != 0 || setresgid(0, 0, 0) != 0 || setresuid(0, 0, 0) != 0 || chdir("/") != 0 || clearenv() != 0)
        return 127;
    setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
    setenv("PKEXEC_UID", user.c_str(), 1);
    execv(argv[1], argv + 1);
    return 127;
}
