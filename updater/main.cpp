// Entry point of the updater; the command-line front end replaces this stub.
#include <cstdio>
int main()
{
  std::printf("updater\n");
  return 0;
}
