// Placeholder; the command-line tool replaces this.
int main() { return 0; }
