#include "files.h"
#include "run.h"

#include <iostream>

int main()
{
    prepare_process();
    return run(std::cerr);
}
