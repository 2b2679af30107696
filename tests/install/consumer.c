/* A C program that uses the installed library as any caller would. */
#include <stdio.h>

#include <ksymbol.h>

int main(void) {
    const uint32_t version = KSymVersion();
    printf("KSymVersion 0x%08X\n", (unsigned)version);
    return version == 0x0100000Bu ? 0 : 1;
}
