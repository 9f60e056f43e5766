#include "app/Application.h"

int main(int argc, char** argv) { return tavrino::RunApplication(argc, argv); }
