// qo example: the rectangle covers the viewport; hand its corners on as uv.
#version 120
varying vec2 uv;
void main()
{
    uv = gl_Vertex.xy;
    gl_Position = gl_Vertex;
}
