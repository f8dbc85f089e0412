/* Floor for start-up: a C program that only prints a header. */
#include <stdio.h>

int main(void) {
    fputs("Content-type: text/plain\r\n\r\n", stdout);
    return 0;
}
