/* A program using the installed library the way others would. */
#include <stdio.h>
#include <string.h>
#include <vorden.h>

int main(void) {
    unsigned char light[16 * 16];
    memset(light, 200, sizeof light);
    if (strcmp(decoder_version_string(), "1.2.6") != 0) return 1;
    if (decode_symbol(light, 16, 16, 8, NULL) != NULL) return 2;
    int32_t partial = 5;
    if (decoder_query(1, &partial) != -1) return 3;
    decoder_release_memory();
    puts("ok");
    return 0;
}
