/* A C host of the installed library: the header compiles as C and both exports link. */
#include <stdio.h>
#include <string.h>

#include <qvRadClient.h>

int main(void) {
    const char* refused = auth(NULL, "1812", "s", "u", "p", "1");
    printf("%s\n%s\n", info(), refused);
    return strcmp(refused, "6007#0#INVALID_INPUT_ERR") == 0 ? 0 : 1;
}
