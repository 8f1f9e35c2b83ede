// qo bench: the rectangle as it comes.
#version 120
varying vec2 uv;
void main()
{
    uv = gl_Vertex.xy;
    gl_Position = gl_Vertex;
}
