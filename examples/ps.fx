// qo example: a small ray-marched scene.
// fpar[0].xyz orbits the origin (radius 2): the camera.
// fpar[2].x is the clock in seconds: the animation.
#version 120
uniform vec4 fpar[4];
varying vec2 uv;

float box(vec3 p, vec3 b) { vec3 q = abs(p) - b; return length(max(q, 0.0)) + min(max(q.x, max(q.y, q.z)), 0.0); }
float torus(vec3 p, vec2 t) { return length(vec2(length(p.xz) - t.x, p.y)) - t.y; }

// Distance to the scene; .y tells the material.
vec2 scene(vec3 p)
{
    float t = fpar[2].x;
    vec2 d = vec2(p.y + 0.5, 0.0);                                   // floor
    vec3 s = p - vec3(0.0, 0.1 + 0.15 * sin(t * 2.0), 0.0);
    float ball = length(s) - 0.35;                                   // bobbing ball
    if (ball < d.x) d = vec2(ball, 1.0);
    vec3 q = p - vec3(0.0, 0.1, 0.0);
    float c = cos(t), n = sin(t);
    q.xy = mat2(c, -n, n, c) * q.xy;
    float ring = torus(q, vec2(0.7, 0.06));                          // spinning ring
    if (ring < d.x) d = vec2(ring, 2.0);
    vec3 r = p - vec3(1.1, -0.3, -0.6);
    float cube = box(r, vec3(0.2)) - 0.03;                            // rounded box
    if (cube < d.x) d = vec2(cube, 3.0);
    return d;
}

vec3 normal_at(vec3 p)
{
    vec2 e = vec2(0.001, 0.0);
    return normalize(vec3(scene(p + e.xyy).x - scene(p - e.xyy).x,
                          scene(p + e.yxy).x - scene(p - e.yxy).x,
                          scene(p + e.yyx).x - scene(p - e.yyx).x));
}

float shadow(vec3 ro, vec3 rd)
{
    float k = 1.0, t = 0.02;
    for (int i = 0; i < 32; i++) {
        float h = scene(ro + rd * t).x;
        k = min(k, 8.0 * h / t);
        t += clamp(h, 0.02, 0.3);
        if (h < 0.001 || t > 6.0) break;
    }
    return clamp(k, 0.0, 1.0);
}

void main()
{
    vec3 eye = vec3(fpar[0].x * 1.4, 0.9, fpar[0].z * 1.4);
    vec3 fw = normalize(-eye);
    vec3 rt = normalize(cross(fw, vec3(0.0, 1.0, 0.0)));
    vec3 up = cross(rt, fw);
    vec3 rd = normalize(fw * 1.6 + rt * uv.x * 1.333 + up * uv.y);

    vec3 sky = mix(vec3(0.55, 0.7, 0.9), vec3(0.15, 0.2, 0.4), uv.y * 0.5 + 0.5);
    vec3 col = sky;
    float t = 0.0;
    vec2 h = vec2(1.0, -1.0);
    for (int i = 0; i < 96; i++) {
        h = scene(eye + rd * t);
        if (h.x < 0.0005 || t > 20.0) break;
        t += h.x;
    }
    if (t < 20.0) {
        vec3 p = eye + rd * t;
        vec3 n = normal_at(p);
        vec3 light = normalize(vec3(0.6, 0.8, 0.3));
        vec3 base = vec3(0.9, 0.35, 0.2);
        if (h.y < 0.5) base = mix(vec3(0.25), vec3(0.8), mod(floor(p.x * 2.0) + floor(p.z * 2.0), 2.0));
        else if (h.y > 2.5) base = vec3(0.2, 0.5, 0.9);
        else if (h.y > 1.5) base = vec3(0.95, 0.8, 0.3);
        float diffuse = max(dot(n, light), 0.0) * shadow(p + n * 0.01, light);
        float spec = pow(max(dot(reflect(rd, n), light), 0.0), 32.0);
        col = base * (0.2 + 0.8 * diffuse) + vec3(0.6) * spec * diffuse;
        col = mix(col, sky, 1.0 - exp(-0.02 * t * t));
    }
    gl_FragColor = vec4(pow(col, vec3(0.4545)), 1.0);
}
