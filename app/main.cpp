#include "app/CommandLine.h"
#include "app/MonitorApp.h"

int main(int argc, char** argv) {
    const CommandLine::Outcome command = CommandLine::Handle(argc, argv);
    if (!command.run)
        return command.exitCode;
    CMonitorApp app(argc, argv);
    app.InitInstance();
    return 0;
}
