// This build has no window front end.
#include "tools/zorbel-sim/Fronts.h"

namespace zorbel::simtool {

bool windowFrontBuilt() {
    return false;
}

bool windowOpens() {
    return false;
}

int runWindow(sim::SimHost&, const FrontSettings&, std::string& error) {
    error = "this zorbel-sim was built without the window (Qt); use --front console";
    return 2;
}

}  // namespace zorbel::simtool
