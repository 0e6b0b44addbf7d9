// zorbel's console front end on a simulated computer: the program as zorbel
// runs it on a machine without a display, over the computer a scenario
// describes, so that a test can hold zorbel-sim's rehearsal against it. The
// test fills the package into a copy, as into zorbel.
//
//   zorbel_on_sim SCENARIO
#include <unistd.h>

#include <iostream>

#include "app/ZorbelMain.h"
#include "app/console/ConsoleToolkit.h"
#include "engine/StandInProfiles.h"
#include "sim/Scenario.h"
#include "sim/SimHost.h"

int main(int argc, char** argv) {
    using namespace zorbel;
    if (argc != 2) {
        std::cerr << "usage: zorbel_on_sim SCENARIO\n";
        return 2;
    }
    sim::ComputerSpec computer = sim::loadScenario(argv[1]);
    computer.clock = sim::ClockMode::Virtual;
    SetStandInProfilesAccepted(true);
    sim::InstalledComputer installed(std::move(computer));
    console::ConsoleToolkit toolkit(
        console::standardStreamOptions(isatty(STDOUT_FILENO) != 0, isatty(STDIN_FILENO) != 0));
    const int code = RunZorbel(toolkit);
    toolkit.reportUnusedAnswers();
    return code;
}
