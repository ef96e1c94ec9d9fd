// avhub, the media controller of the box.
#include "app.hpp"

int main(int argc, char** argv) {
    return avhub::avhub_main(argc, argv);
}
