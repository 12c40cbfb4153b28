// The golden table's generator and the writers it uses, built into the app tests too, so
// that the program itself meets every row.
#include "io/golden_malformed_util.cpp"
#include "io/obj_file_util.cpp"
