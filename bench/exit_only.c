/* The process floor: a program that only exits. */
int main(void) { return 0; }
