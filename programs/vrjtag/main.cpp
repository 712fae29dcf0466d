#include "control/run.hpp"

int main() {
    vr::main_sequence();
    return 0;
}
