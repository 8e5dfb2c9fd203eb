/* Stands in for the device maker's settings panel: runs until it is ended. */
#include <windows.h>

int main(void)
{
    Sleep(INFINITE);
    return 0;
}
