// Ostrel: reads QR Code symbols from a camera.
#include "ostrel_app.h"

int main(int argc, char** argv) {
    return ostrel::run_ostrel(argc, argv);
}
