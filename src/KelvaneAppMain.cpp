#include "KelvaneApp.h"

int main(int argc, char** argv) { return kelvane::runApplication(argc, argv); }
