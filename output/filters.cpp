// The output filter chain: a doubly linked list walked head to tail, so
// filters act in the order in which they were added.
#include "filters.h"

#include <new>

int AddFilterToChain(OutputFilterNode** FilterChain, ZEBFilterRegisterFunc RegisterFunc, void* CreateParams)
{
    if (!RegisterFunc)
        return 0;
    OutputFilterNode* Node = new (std::nothrow) OutputFilterNode{};
    if (!Node)
        return 0;
    OutputFilterNode* Tail = *FilterChain;
    while (Tail && Tail->Next)
        Tail = Tail->Next;
    Node->Prev = Tail;
    if (Tail)
        Tail->Next = Node;
    else
        *FilterChain = Node;

    RegisterFunc(&Node->VectorTable);
    if (!Node->VectorTable.FilterCreate || Node->VectorTable.FilterCreate(&Node->FilterInst, CreateParams))
        return 1;

    // A filter that failed to create has no instance to work on: unlink it
    // so that it is never called with whatever value the create left.
    if (Tail)
        Tail->Next = nullptr;
    else
        *FilterChain = nullptr;
    delete Node;
    return 0;
}

int OpenFilterChain(OutputFilterNode* FilterChain)
{
    for (OutputFilterNode* Node = FilterChain; Node; Node = Node->Next)
        if (Node->VectorTable.FilterOpen)
            Node->VectorTable.FilterOpen(Node->FilterInst);
    return 1;
}

void CloseFilterChain(OutputFilterNode* FilterChain)
{
    for (OutputFilterNode* Node = FilterChain; Node; Node = Node->Next)
        if (Node->VectorTable.FilterClose)
            Node->VectorTable.FilterClose(Node->FilterInst);
}

void WriteFilterChain(OutputFilterNode* FilterChain, void* SampleBfr, uint32_t Size,
                      uint16_t BytesPerSample, uint16_t Channels, uint32_t SampleRate)
{
    for (OutputFilterNode* Node = FilterChain; Node; Node = Node->Next)
        if (Node->VectorTable.FilterWrite)
            Node->VectorTable.FilterWrite(Node->FilterInst, SampleBfr, Size, BytesPerSample, Channels, SampleRate);
}

void DeleteFilterChain(OutputFilterNode* FilterChain)
{
    OutputFilterNode* Node = FilterChain;
    while (Node) {
        OutputFilterNode* Next = Node->Next;
        if (Node->VectorTable.FilterDelete)
            Node->VectorTable.FilterDelete(Node->FilterInst);
        delete Node;
        Node = Next;
    }
}
