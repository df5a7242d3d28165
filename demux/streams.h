// Creation functions of the parsers, one per container generation, each
// defined in its generation's unit. They return a new, unopened parser, or
// null when memory runs out.
#pragma once

class CBaseStream;

CBaseStream *CreateStreamV30();
CBaseStream *CreateStreamV20();
CBaseStream *CreateStream6000();
CBaseStream *CreateStream15();
CBaseStream *CreateStreamV10();
