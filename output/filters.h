// The output filter chain.
#pragma once

#include "zeb-audio.h"

struct OutputFilterNode {
    OutputFilterModule VectorTable;
    void* FilterInst;
    OutputFilterNode* Next;
    OutputFilterNode* Prev;
};

int AddFilterToChain(OutputFilterNode** FilterChain, ZEBFilterRegisterFunc RegisterFunc, void* CreateParams);
int OpenFilterChain(OutputFilterNode* FilterChain);
void CloseFilterChain(OutputFilterNode* FilterChain);
void WriteFilterChain(OutputFilterNode* FilterChain, void* SampleBfr, uint32_t Size,
                      uint16_t BytesPerSample, uint16_t Channels, uint32_t SampleRate);
void DeleteFilterChain(OutputFilterNode* FilterChain);
