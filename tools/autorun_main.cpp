// autorun: the platform starts the service at its main operation.
int main() { return 0; }
