// Placeholder until the database manager lands.
int main() { return 0; }
