// qo bench: a light shader, a few operations per pixel, animated by fpar.
#version 120
uniform vec4 fpar[4];
varying vec2 uv;
void main()
{
    gl_FragColor = vec4(0.5 + 0.25 * uv + 0.1 * fpar[0].xz, fract(fpar[2].x), 1.0);
}
