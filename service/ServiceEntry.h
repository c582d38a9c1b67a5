#pragma once
// Program entry: the command-line switches, the service's main and stop
// callbacks, the application identity and the order of start-up and shutdown.

class ServiceEntry
{
public:
    static constexpr const char *kServiceName = "KestService";
    static constexpr const char *kDisplayName = "Kest Proxy Client Service";
    static constexpr const char *kApplicationName = "kestd";
    static constexpr const char *kApplicationVersion = "2.1.0";
    static constexpr const char *kOrganizationName = "Quillon LLC";

    // The process's main: returns the exit code.
    static int main(int argc, char **argv);

private:
    static void serviceMain(int argc, char **argv);
    static void requestStop();
};
