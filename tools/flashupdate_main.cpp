// flashupdate: the platform starts the program at its entry.
int main() { return 1; }
