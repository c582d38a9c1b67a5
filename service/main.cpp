#include "service/ServiceEntry.h"

int main(int argc, char **argv)
{
    return ServiceEntry::main(argc, argv);
}
