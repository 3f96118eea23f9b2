// z3gwd entry point.
#include "runtime/Log.hpp"

int main()
{
    Z3LOG(4, "z3gwd starting\r\n");
    return 0;
}
