#include "run.h"

#include <iostream>

int main()
{
    return run(std::cerr);
}
