#pragma once

int impulzMain(int argc, char** argv);
